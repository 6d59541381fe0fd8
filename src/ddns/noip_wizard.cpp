#include "ddns/noip_wizard.h"

#include <array>
#include <utility>

namespace tessomar::ddns {

using platform::ComponentKind;
using platform::ComponentSpec;
using platform::Geometry;

namespace {

constexpr const char* kFormName = "TForm_noip_setting";
constexpr int kMarkerTop = 40;

// Header on top; the three pages share the space below it, one visible at a time.
constexpr ComponentSpec kWizardForm[] = {
    {kFormName, ComponentKind::Form, "", Geometry{0, 0, kWizardWidth, kWizardHeight},
     "No-IP Setting", false},
    {"Timer3", ComponentKind::Timer, kFormName, {}, "", true, false, 1000},
    {"Panel1", ComponentKind::Panel, kFormName, Geometry{0, 0, kWizardWidth, kHeaderHeight}},
    {"Image3", ComponentKind::Image, "Panel1", Geometry{8, 10, 213, 76}},
    {"Image1", ComponentKind::Image, "Panel1", Geometry{272, kMarkerTop, 401, 17}},
    {"Image2", ComponentKind::Image, "Panel1", Geometry{kMarkerAccount, kMarkerTop, 16, 16}},
    {"Label_step1", ComponentKind::Label, "Panel1", Geometry{kMarkerAccount - 40, 64, 110, 20},
     "Create Account"},
    {"Label_step2", ComponentKind::Label, "Panel1", Geometry{kMarkerHost - 20, 64, 80, 20},
     "Add Host"},
    {"Label_step3", ComponentKind::Label, "Panel1", Geometry{kMarkerFinish - 10, 64, 60, 20},
     "Finish"},
    // Account page.
    {"Panel2", ComponentKind::Panel, kFormName,
     Geometry{0, kHeaderHeight, kWizardWidth, kWizardHeight - kHeaderHeight}},
    {"Label_intro", ComponentKind::Label, "Panel2", Geometry{24, 8, 750, 20},
     "A new account for the DDNS service will be created at the No-IP web site."},
    {"GroupBox1", ComponentKind::Panel, "Panel2", Geometry{16, 32, 768, 330},
     "Account Information"},
    {"Username", ComponentKind::LabeledEdit, "GroupBox1", Geometry{16, 36, 220, 24}, "", true, true,
     0, "Username : "},
    {"CheckUas", ComponentKind::Button, "GroupBox1", Geometry{250, 34, 80, 28}, "Check "},
    {"Label_hint1", ComponentKind::Label, "GroupBox1", Geometry{340, 40, 300, 20},
     "Minimum of 4 characters in length."},
    {"email", ComponentKind::LabeledEdit, "GroupBox1", Geometry{16, 96, 300, 24}, "", true, true, 0,
     "E-mail : "},
    {"password", ComponentKind::LabeledEdit, "GroupBox1", Geometry{16, 156, 220, 24}, "", true,
     true, 0, "Password : ", '*'},
    {"Label_hint2", ComponentKind::Label, "GroupBox1", Geometry{250, 160, 300, 20},
     "Minimum of 6 characters in length."},
    {"cpassword", ComponentKind::LabeledEdit, "GroupBox1", Geometry{16, 216, 220, 24}, "", true,
     true, 0, "Confirm Password :", '*'},
    {"firstname", ComponentKind::LabeledEdit, "GroupBox1", Geometry{400, 96, 220, 24}, "", true,
     true, 0, "Firstname : "},
    {"lastname", ComponentKind::LabeledEdit, "GroupBox1", Geometry{400, 156, 220, 24}, "", true,
     true, 0, "Lastname : "},
    {"postal_code", ComponentKind::LabeledEdit, "GroupBox1", Geometry{400, 216, 220, 24}, "", true,
     true, 0, "Postal Code : "},
    {"CheckBox1", ComponentKind::CheckBox, "GroupBox1", Geometry{16, 280, 20, 20}},
    {"Label_TOS", ComponentKind::Label, "GroupBox1", Geometry{40, 280, 200, 20},
     "You agree to the TOS"},
    {"Create", ComponentKind::Button, "Panel2", Geometry{680, 376, 90, 28}, "Next", true, false},
    // Host page.
    {"Panel3", ComponentKind::Panel, kFormName,
     Geometry{0, kHeaderHeight, kWizardWidth, kWizardHeight - kHeaderHeight}, "", false},
    {"GroupBox2", ComponentKind::Panel, "Panel3", Geometry{16, 32, 768, 200}, "Host Information"},
    {"Edit_host", ComponentKind::LabeledEdit, "GroupBox2", Geometry{16, 44, 200, 24}, "", true,
     true, 0, "Hostname :"},
    {"Label_dot", ComponentKind::Label, "GroupBox2", Geometry{222, 48, 10, 20}, "."},
    {"ComboBox1", ComponentKind::ComboBox, "GroupBox2", Geometry{236, 44, 240, 24}},
    {"Edit_ip", ComponentKind::LabeledEdit, "GroupBox2", Geometry{16, 120, 200, 24}, "", true, true,
     0, "IP :"},
    {"Button2", ComponentKind::Button, "Panel3", Geometry{680, 376, 90, 28}, "Next", true, false},
    // Finish page.
    {"Panel4", ComponentKind::Panel, kFormName,
     Geometry{0, kHeaderHeight, kWizardWidth, kWizardHeight - kHeaderHeight}, "", false},
    {"GroupBox3", ComponentKind::Panel, "Panel4", Geometry{16, 16, 768, 190},
     "Account Information"},
    {"Label_info1", ComponentKind::Label, "GroupBox3", Geometry{24, 30, 110, 20}, "Username :"},
    {"info_username", ComponentKind::Label, "GroupBox3", Geometry{140, 30, 600, 20}},
    {"Label_info2", ComponentKind::Label, "GroupBox3", Geometry{24, 60, 110, 20}, "E - Mail :"},
    {"info_email", ComponentKind::Label, "GroupBox3", Geometry{140, 60, 600, 20}},
    {"Label_info3", ComponentKind::Label, "GroupBox3", Geometry{24, 90, 110, 20}, "First Name :"},
    {"info_firstname", ComponentKind::Label, "GroupBox3", Geometry{140, 90, 600, 20}},
    {"Label_info4", ComponentKind::Label, "GroupBox3", Geometry{24, 120, 110, 20}, "Last Name :"},
    {"info_lastname", ComponentKind::Label, "GroupBox3", Geometry{140, 120, 600, 20}},
    {"Label_info5", ComponentKind::Label, "GroupBox3", Geometry{24, 150, 110, 20}, "Postal Code :"},
    {"info_postalcode", ComponentKind::Label, "GroupBox3", Geometry{140, 150, 600, 20}},
    {"GroupBox4", ComponentKind::Panel, "Panel4", Geometry{16, 220, 768, 100}, "Host Information"},
    {"Label_info6", ComponentKind::Label, "GroupBox4", Geometry{24, 30, 110, 20}, "Host :"},
    {"info_host", ComponentKind::Label, "GroupBox4", Geometry{140, 30, 600, 20}},
    {"Label_info7", ComponentKind::Label, "GroupBox4", Geometry{24, 60, 110, 20}, "IP :"},
    {"info_ip", ComponentKind::Label, "GroupBox4", Geometry{140, 60, 600, 20}},
    {"Button3", ComponentKind::Button, "Panel4", Geometry{680, 376, 90, 28}, "OK"},
};

constexpr std::array<std::string_view, 9> kEdits = {"Username",    "email",     "password",
                                                    "cpassword",   "firstname", "lastname",
                                                    "postal_code", "Edit_host", "Edit_ip"};

}  // namespace

std::span<const ComponentSpec> noip_form_description() { return kWizardForm; }

NoipWizard::NoipWizard(NoipClient& client, platform::EventLoop& loop, platform::Dialogs& dialogs,
                       const platform::Logger& logger, NoipPages pages)
    : client_(client), dialogs_(dialogs), logger_(logger), pages_(pages) {
  form_.build(kWizardForm, std::size(kWizardForm));
  c("Username").set_max_length(kUsernameLimit);
  c("password").set_max_length(kPasswordLimit);
  c("cpassword").set_max_length(kPasswordLimit);
  for (std::string_view name : {"firstname", "lastname", "postal_code"}) {
    c(name).set_max_length(kNameFieldLimit);
  }
  c("Edit_host").set_max_length(kHostnameLimit);
  draw_pictures();

  for (std::string_view name : kEdits) c(name).on("OnChange", [this](auto&) { EditChange(); });
  c("CheckBox1").on("OnClick", [this](auto&) { CheckBox1Click(); });
  c("CheckUas").on("OnClick", [this](auto&) { CheckUasClick(); });
  c("Create").on("OnClick", [this](auto&) { CreateClick(); });
  c("Button2").on("OnClick", [this](auto&) { Button2Click(); });
  c("Button3").on("OnClick", [this](auto&) { Button3Click(); });
  c("Timer3").on("OnTimer", [this](auto&) { Timer3Timer(); });
  c("Label_TOS").on("OnClick", [this](auto&) { Label_TOSClick(); });
  c("Image3").on("OnClick", [this](auto&) { Image3Click(); });
  c(kFormName).on("OnClose", [this](auto&) { FormClose(); });

  NoipHooks& h = client_.hooks();
  h.account_buttons = [this](bool on) { set_account_buttons(on); };
  h.availability_answered = [this] { availability_answered(); };
  h.domains_listed = [this] { domains_listed(); };
  h.host_next_enabled = [this] { c("Button2").set_enabled(true); };
  h.account_value = [this](std::string_view n, std::string_view v) { account_value(n, v); };
  h.account_info_complete = [this] { account_info_complete(); };

  timers_ = std::make_unique<platform::FormTimers>(form_, loop);
  c("Timer3").set_enabled(true);
}

NoipWizard::~NoipWizard() {
  FormDestroy();
  timers_.reset();
  client_.hooks() = NoipHooks{};
}

void NoipWizard::show() {
  c("Panel2").set_visible(true);
  c("Panel3").set_visible(false);
  c("Panel4").set_visible(false);
  set_account_buttons(false);
  move_marker(kMarkerAccount);
  // OK stopped the poll timer; a later run needs it again.
  c("Timer3").set_enabled(true);
  c(kFormName).set_visible(true);
}

bool NoipWizard::others_filled() const {
  for (std::string_view name :
       {"email", "password", "cpassword", "firstname", "lastname", "postal_code"}) {
    if (!filled(name)) return false;
  }
  return true;
}

void NoipWizard::set_account_buttons(bool on) {
  c("CheckUas").set_enabled(on);
  c("Create").set_enabled(on);
}

void NoipWizard::move_marker(int left) {
  platform::Geometry g = c("Image2").geometry();
  g.left = left;
  c("Image2").set_geometry(g);
}

void NoipWizard::EditChange() {
  if (c("Panel2").visible()) {
    if (!filled("Username")) {
      set_account_buttons(false);
      return;
    }
    c("CheckUas").set_enabled(true);
    c("Create").set_enabled(others_filled() && c("CheckBox1").checked());
  } else if (c("Panel3").visible()) {
    c("Button2").set_enabled(filled("Edit_host") && filled("Edit_ip"));
  }
}

void NoipWizard::CheckBox1Click() {
  c("Create").set_enabled(filled("Username") && others_filled() && c("CheckBox1").checked());
}

void NoipWizard::copy_fields() {
  NoipFields& f = client_.fields();
  f.username = c("Username").caption();
  f.email = c("email").caption();
  f.password = c("password").caption();
  f.firstname = c("firstname").caption();
  f.lastname = c("lastname").caption();
  f.postal_code = c("postal_code").caption();
  f.host = c("Edit_host").caption();
  const platform::Component& combo = c("ComboBox1");
  const int index = combo.item_index();
  f.domain = index >= 0 && size_t(index) < combo.items().size() ? combo.items()[size_t(index)]
                                                                : combo.caption();
  f.ip = c("Edit_ip").caption();
}

void NoipWizard::start(int32_t kind, int socket_index) {
  copy_fields();
  client_.set_kind(kind);
  client_.start_request(socket_index);
}

void NoipWizard::CheckUasClick() {
  if (c("Username").caption().size() < kUsernameMin) {
    dialogs_.message_box("invalid username: 4-16 characters, only letters and numbers", "ERROR");
    return;
  }
  start(kKindCheckUser, 0);
}

void NoipWizard::CreateClick() {
  if (c("password").caption() != c("cpassword").caption()) {
    dialogs_.message_box("This password doesn't match the confirmation password.", "ERROR");
    return;
  }
  start(kKindCreateAccount, 0);
}

void NoipWizard::Button2Click() {
  c("Button2").set_enabled(false);
  copy_fields();
  client_.set_kind(kKindCreateHost);
  // A failed connection leaves the step to be repeated.
  if (client_.start_request(0) == 0) c("Button2").set_enabled(true);
}

void NoipWizard::Timer3Timer() {
  platform::Component& timer = c("Timer3");
  timer.set_enabled(false);
  client_.poll_reply();
  if (client_.kind() == kKindAccountCreated) {
    start(kKindListDomains, 1);
  } else if (client_.kind() == kKindHostCreated) {
    start(kKindAccountInfo, 1);
  }
  timer.set_enabled(true);
}

void NoipWizard::availability_answered() {
  c("Create").set_enabled(others_filled());
  c("CheckUas").set_enabled(true);
}

void NoipWizard::domains_listed() {
  platform::Component& combo = c("ComboBox1");
  std::vector<std::string> items = combo.items();
  for (const std::string& d : client_.domains()) items.push_back(d);
  const bool any = !items.empty();
  combo.set_items(std::move(items));
  if (any) {
    combo.set_item_index(0);
    combo.set_caption(combo.items()[0]);
  }
  c("Edit_ip").set_caption(hooks_.dvr_address ? hooks_.dvr_address() : std::string());
  c("Panel2").set_visible(false);
  c("Panel3").set_visible(true);
  move_marker(kMarkerHost);
  set_account_buttons(true);
  c("Button2").set_enabled(false);
}

void NoipWizard::account_value(std::string_view name, std::string_view value) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kLabels = {{
      {"email", "info_email"},
      {"username", "info_username"},
      {"firstname", "info_firstname"},
      {"lastname", "info_lastname"},
      {"postal_code", "info_postalcode"},
  }};
  for (const auto& [value_name, label] : kLabels) {
    if (value_name == name) c(label).set_caption(value);
  }
}

void NoipWizard::account_info_complete() {
  c("info_host").set_caption(client_.full_host());
  c("info_ip").set_caption(c("Edit_ip").caption());
  c("Panel3").set_visible(false);
  c("Panel4").set_visible(true);
  move_marker(kMarkerFinish);
  c("Button2").set_enabled(true);
}

void NoipWizard::Button3Click() {
  c("Timer3").set_enabled(false);
  c(kFormName).fire("OnClose");
  c(kFormName).set_visible(false);
  if (hooks_.finish) {
    hooks_.finish(client_.saved_user(), client_.saved_password(), client_.full_host());
  }
}

void NoipWizard::open_page(std::string_view address) {
  if (hooks_.open_page) {
    hooks_.open_page(address);
  } else {
    logger_.info(std::string("open page ") + std::string(address));
  }
}

void NoipWizard::Label_TOSClick() { open_page(pages_.terms_page); }
void NoipWizard::Image3Click() { open_page(pages_.home_page); }
void NoipWizard::FormClose() { c("Timer3").set_enabled(false); }
void NoipWizard::FormDestroy() { c("Timer3").set_enabled(false); }

void NoipWizard::draw_pictures() {
  // Plain stand-ins of the header's pictures: a blue logo, a grey strip, a green marker.
  auto paint = [this](std::string_view name, uint32_t colour) {
    platform::Component& img = c(name);
    img.picture().resize(img.geometry().width, img.geometry().height);
    img.picture().fill(colour);
    img.picture_changed();
  };
  paint("Image3", 0x1f4e9c);
  paint("Image1", 0xc8c8c8);
  paint("Image2", 0x2e9c3a);
}

}  // namespace tessomar::ddns
