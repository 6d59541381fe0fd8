#include "setup/setup_tabs.h"

#include <iconv.h>

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "setup/providers.h"

namespace tessomar::setup {

namespace {

constexpr size_t kTextSlotSize = 256;  // with its NUL
constexpr size_t kMailStringsEnd = 254;

// Image offsets.
constexpr size_t kPppoeUser = 4;
constexpr size_t kPppoePassword = 36;
constexpr size_t kDdnsProviderCode = 2;
constexpr size_t kDdnsUser = 4;
constexpr size_t kDdnsPassword = 36;
constexpr size_t kDdnsHost = 68;
constexpr size_t kMailCounter = 254;

constexpr std::string_view kUpnpSlotWrite = "Vask_Upnp_C_Data_W";

// Each help text is one text whose lines are joined by CR LF after a line holding a space.
std::string help_text(std::initializer_list<std::string_view> lines) {
  std::string out = " ";
  for (std::string_view line : lines) {
    out += "\r\n";
    out += line;
  }
  return out;
}

std::string bitrate_help() {
  return help_text({"  * Change the value of bitrate, can change the quality of video."});
}

std::string pppoe_help() {
  return help_text(
      {"  * When using PPPoE mode, please select PPPoE to \"ON\" and fill the values in all "
       "fields.",
       "  * If input wrong \"User Name\" or \"Password\" , please start DVR again after "
       "correcting."});
}

std::string ddns_help_dyndns() {
  const Provider& p = kProviders[size_t(kProviderDynDns)];
  return help_text({"  * Please select the preferable DDNS mode, then setup your DDNS server",
                    "  * Fill in DDNS User Name, DDNS Password, DDNS Host name, then press submit,",
                    "    it can connect to DDNS Web",
                    "  * ex:", std::string("    DDNS Select : ") + std::string(p.home_page),
                    "    DDNS User Name : guest1", "    DDNS Password : *****",
                    std::string("    DDNS Host Name : ") + std::string(kDynDnsExampleHost),
                    std::string("    DDNS Web : ") + std::string(kDynDnsExampleWeb)});
}

std::string ddns_help_maker() {
  const Provider& p = kProviders[size_t(kProviderMaker)];
  return help_text(
      {"  * Please select the preferable DDNS mode, then setup your DDNS server ",
       "  * Fill in DDNS User Name, DDNS Password, DDNS Domain name, then press submit,",
       "    it can connect to DDNS Web",
       "  * ex:", std::string("    DDNS Select : ") + std::string(p.home_page),
       "    DDNS User Name : guest1", "    DDNS Password : *****", "    DDNS Domain Name : guest",
       std::string("    DDNS Web : ") + std::string(kMakerExampleWeb)});
}

std::string mail_help_plain() {
  return help_text(
      {"  * When using E-mail notification mode, please select \"ON\" and fill the values in all "
       "fields",
       "    * SMTP server address, user name and password",
       "    * Sender's Email and Receiver's Email", "    * the mail subject and location",
       "  * Click Submit to save your settings or click Cancel to exit without saving"});
}

std::string mail_help_maker() {
  return help_text(
      {"  * When select E-mail notification mode with \"Default\" only fill in Sender's "
       "Email,Receiver's Email",
       "  * IF you would like to use your own email server you have to select \"ON\" and fill the "
       "values in all fields",
       "    * SMTP server address, user name and password",
       "    * Sender's Email and Receiver's Email", "    * the mail subject and location",
       "  * Click Apply to save your settings or click Cancel to exit without saving"});
}

// The UPnP text carries the DVR's Big5 quotation marks and apostrophe.
std::string upnp_help() {
  return big5_to_utf8(help_text(
      {"  * Before using the UPnP, please be sure to \xA1\xA7"
       "Enable\xA1\xA8 UPnP in your router "
       "setting",
       "  * In DVR LAN setting page:", "    DHCP Enable: X",
       "      DNS Server: You have to set DNS Server before using UPnP",
       "      Gateway: Please indicate gateway to router\xA1\xA6s IP address", "    DHCP Enable: O",
       "      DNS Server: No need to fill in info.", "      Gateway: No need to fill in info.",
       "  *Under the UPnP Status, select \"ON\"", "  *Please set UPnP port (Default setting is 80)",
       "  *Click Apply to save your settings"}));
}

// A NUL-terminated text of a fixed field, at most `limit` characters.
std::string field_text(std::span<const uint8_t> image, size_t offset, size_t limit) {
  if (offset >= image.size()) return {};
  const char* p = reinterpret_cast<const char*>(image.data() + offset);
  return std::string(p, strnlen(p, std::min(limit, image.size() - offset)));
}

void put_field(std::span<uint8_t> image, size_t offset, std::string_view text, size_t limit) {
  const size_t n = std::min(text.size(), limit);
  std::copy_n(text.begin(), n, image.begin() + ptrdiff_t(offset));
}

std::string_view clip(std::string_view text, size_t size) {
  return text.substr(0, std::min(text.size(), size));
}

const std::initializer_list<std::string_view> kPppoeGroup = {
    "ComboBox_pppoe1",    "Label_pppoe1", "LabeledEdit_pppoe2",
    "LabeledEdit_pppoe3", "Button_PPPoE", "Button_PPPoE2"};
const std::initializer_list<std::string_view> kDdnsGroup = {
    "ComboBox_ddns1",    "Label_ddns1", "LabeledEdit_ddns2", "LabeledEdit_ddns3",
    "LabeledEdit_ddns4", "Button_DDNS", "Button_DDNS2"};
const std::initializer_list<std::string_view> kMailGroup = {
    "ComboBox_smtp1",    "ComboBox_smtp2",     "Label_smtp1",       "Label_smtp2",
    "LabeledEdit_smtp1", "LabeledEdit_smtp10", "LabeledEdit_smtp2", "LabeledEdit_smtp3",
    "LabeledEdit_smtp4", "LabeledEdit_smtp5",  "LabeledEdit_smtp6", "LabeledEdit_smtp7",
    "LabeledEdit_smtp8", "LabeledEdit_smtp9",  "Button_SMTP",       "Button_SMTP2",
    "Button_SMTP3"};
// The server fields that "Default" mail leaves to the DVR maker's service.
const std::initializer_list<std::string_view> kMailServerFields = {
    "LabeledEdit_smtp1", "LabeledEdit_smtp10", "LabeledEdit_smtp2", "LabeledEdit_smtp3",
    "CheckBox_SMTP"};
// Mail edits in the order of the image's strings 2 to 12 (the check box in place of 6).
constexpr std::string_view kMailEdits[] = {"LabeledEdit_smtp1",
                                           "LabeledEdit_smtp10",
                                           "LabeledEdit_smtp2",
                                           "LabeledEdit_smtp3",
                                           "",
                                           "LabeledEdit_smtp4",
                                           "LabeledEdit_smtp5",
                                           "LabeledEdit_smtp6",
                                           "LabeledEdit_smtp7",
                                           "LabeledEdit_smtp8",
                                           "LabeledEdit_smtp9"};

}  // namespace

const std::vector<std::string>& bitrate_texts() {
  static const std::vector<std::string> texts = {
      "28.8/36.6 Kbps", "56 Kbps",  "112 Kbps", "256 Kbps", "384 Kbps",
      "512 Kbps",       "768 Kbps", "1 Mbps",   "1.5 Mbps", "Intranet"};
  return texts;
}

std::vector<std::string> split_mail_strings(std::span<const uint8_t> image) {
  std::vector<std::string> out;
  if (image.size() < 2 || image[0] != kMailMarker ||
      (image[1] != kMailKindSettings && image[1] != kMailKindTestMail)) {
    return out;
  }
  size_t at = 2;
  while (out.size() < size_t(kMailStrings) && at < image.size()) {
    out.push_back(field_text(image, at, image.size() - at));
    at += out.back().size() + 1;
  }
  return out;
}

int mail_port_number(std::string_view text) {
  if (text.empty()) return kDefaultMailPort;
  int port = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') continue;
    port = std::min(port * 10 + (ch - '0'), 65535);
  }
  return port;
}

std::optional<int64_t> parse_integer(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  int64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = v * 10 + (ch - '0');
  }
  return negative ? -v : v;
}

std::string big5_to_utf8(std::string_view big5) {
  iconv_t cd = iconv_open("UTF-8", "CP950");
  if (cd == iconv_t(-1)) return std::string(big5);
  std::string out(big5.size() * 3 + 4, '\0');
  std::string in(big5);
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (src_left > 0) {
    if (iconv(cd, &src, &src_left, &dst, &dst_left) != size_t(-1)) break;
    // An unconvertible byte is skipped; the rest still shows.
    ++src;
    --src_left;
  }
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

SetupTabs::SetupTabs(platform::Form& form, link::Link& link, channels::IcmdChannel& icmd,
                     channels::IctlChannel& ictl, platform::Dialogs& dialogs,
                     const platform::Logger& logger)
    : form_(form), link_(link), icmd_(icmd), ictl_(ictl), dialogs_(dialogs), logger_(logger) {}

uint32_t SetupTabs::session_key() const { return link_.slot(0).session_key; }

void SetupTabs::select(std::string_view name, int index) {
  platform::Component& box = form_[name];
  box.set_item_index(index);
  const auto& items = box.items();
  box.set_caption(index >= 0 && size_t(index) < items.size() ? items[size_t(index)]
                                                             : std::string());
}

void SetupTabs::enable(std::initializer_list<std::string_view> names, bool on) {
  for (std::string_view n : names) form_[n].set_enabled(on);
}

const std::array<int32_t, channels::kDdnsProviderPositions>& SetupTabs::provider_map() const {
  return icmd_.session(0).ddnsProviderMap;
}

int SetupTabs::mail_status_count() const { return int(form_["ComboBox_smtp1"].items().size()); }

void SetupTabs::startup() {
  c("ComboBox_bitrate").set_items(bitrate_texts());
  select("ComboBox_bitrate", 9);
  for (std::string_view box : {"ComboBox_pppoe1", "ComboBox_upnp"}) {
    c(box).set_items({"OFF", "ON"});
    select(box, 0);
  }
  c("ComboBox_smtp1").set_items({"OFF", "ON"});
  select("ComboBox_smtp1", 0);

  auto on = [this](std::string_view name, const char* event, std::function<void()> f) {
    c(name).on(event, [f = std::move(f)](platform::Event&) { f(); });
  };
  for (std::string_view button : {"Button_Bitrate", "Button_PPPoE", "Button_DDNS", "Button_SMTP",
                                  "Button_Title1", "Button_UPNP"}) {
    on(button, "OnClick", [this] { apply(c("PageControl1").item_index()); });
  }
  on("Button_SMTP3", "OnClick", [this] { apply(kTabTestMail); });
  on("PageControl1", "OnChange", [this] { refresh(c("PageControl1").item_index()); });
  on("Button_PPPoE2", "OnClick", [this] { clear_pppoe(); });
  on("Button_DDNS2", "OnClick", [this] { clear_ddns(); });
  on("Button_SMTP2", "OnClick", [this] { clear_mail(); });
  on("ComboBox_smtp1", "OnChange", [this] { mail_mode_rule(); });
  on("ComboBox_ddns1", "OnChange", [this] { link_label_rule(); });
  on("Label_ddns2", "OnClick", [this] { ddns_home(); });
  on("Label_ddns3", "OnClick", [this] { ddns_create_account(); });

  clear_pppoe();
  clear_ddns();
  clear_mail();
}

void SetupTabs::prepare(const channels::DeviceIdentity& id, std::string_view remote_ip,
                        std::string_view remote_port) {
  model_variant_ = id.model_variant;
  const bool maker = id.model_variant == 1;

  // The input method editor has no counterpart here; the limits are what matters.
  for (std::string_view e :
       {"LabeledEdit_pppoe2", "LabeledEdit_pppoe3", "LabeledEdit_ddns2", "LabeledEdit_ddns3"}) {
    c(e).set_max_length(kNameLimit);
  }
  c("LabeledEdit_ddns4").set_max_length(kHostLimit);
  for (std::string_view e : {"LabeledEdit_smtp1", "LabeledEdit_smtp2", "LabeledEdit_smtp3",
                             "LabeledEdit_smtp4", "LabeledEdit_smtp5", "LabeledEdit_smtp6",
                             "LabeledEdit_smtp7", "LabeledEdit_smtp8", "LabeledEdit_smtp9"}) {
    c(e).set_max_length(kNameLimit);
  }
  c("LabeledEdit_smtp10").set_max_length(kPortLimit);

  c("Label_System1").set_caption(id.os);
  c("Label_System2").set_caption(id.serial);
  c("Label_System3").set_caption(id.board);
  c("Label_System4").set_caption(id.number);
  c("LabeledEdit_System1").set_caption(remote_ip);
  c("LabeledEdit_System2").set_caption(remote_port);

  c("TabSheet6").set_visible(id.title_support != 0);
  const bool interval = id.mail_variant != 1;
  for (std::string_view n : {"Label_smtp2", "Label_smtp3", "ComboBox_smtp2"}) {
    c(n).set_visible(interval);
  }

  c("Memo_Bitrate").set_caption(bitrate_help());
  c("Memo_PPPoE").set_caption(pppoe_help());

  icmd_.session(0).ddnsProviderMap.fill(-1);
  c("ComboBox_ddns1").set_items({});
  add_provider(kProviderDisabled);
  if (maker) {
    // Each memo holds one text, so the mail memo starts over as the others do.
    c("Memo_SMTP").set_caption(mail_help_maker());
    c("Memo_DDNS").set_caption(ddns_help_maker());
    add_provider(kProviderMaker);
    c("LabeledEdit_ddns4").set_label_caption("DDNS Domain Name");
    c("ComboBox_smtp1").set_items({"OFF", "ON", "Default"});
  } else {
    c("Memo_SMTP").set_caption(mail_help_plain());
    c("Memo_DDNS").set_caption(ddns_help_dyndns());
    add_provider(kProviderDynDns);
    add_provider(kProviderNoIp);
    c("LabeledEdit_ddns4").set_label_caption("DDNS Host Name");
    c("ComboBox_smtp1").set_items({"OFF", "ON"});
  }
  c("Label_ddns2").set_visible(!maker);
  c("Label_ddns3").set_visible(!maker);
  select("ComboBox_ddns1", 0);
  select("ComboBox_smtp1", std::clamp(list_index("ComboBox_smtp1"), 0, mail_status_count() - 1));
  link_label_rule();

  c("Memo_UPNP").set_caption(upnp_help());

  std::vector<std::string> minutes;
  for (int m = 0; m <= kMailIntervalMax; ++m) minutes.push_back(std::to_string(m));
  c("ComboBox_smtp2").set_items(std::move(minutes));
  select("ComboBox_smtp2", 0);

  if (hooks_.title_channels) hooks_.title_channels(id.channel_count);
}

void SetupTabs::add_provider(int32_t code) {
  const Provider* p = find_provider(code);
  if (!p) return;
  auto& map = icmd_.session(0).ddnsProviderMap;
  auto free = std::find(map.begin(), map.end(), -1);
  if (free == map.end()) return;
  *free = code;
  std::vector<std::string> items = c("ComboBox_ddns1").items();
  items.emplace_back(p->list_text);
  c("ComboBox_ddns1").set_items(std::move(items));
}

void SetupTabs::apply(int type) {
  for (auto& t : texts_) t.clear();
  auto take = [this](size_t slot, std::string_view edit) {
    texts_[slot] = clip(text(edit), kTextSlotSize - 1);
  };
  int index = 0;
  switch (type) {
    case kTabPppoe:
      take(0, "LabeledEdit_pppoe2");
      take(1, "LabeledEdit_pppoe3");
      index = list_index("ComboBox_pppoe1");
      break;
    case kTabDdns:
      take(0, "LabeledEdit_ddns2");
      take(1, "LabeledEdit_ddns3");
      take(2, "LabeledEdit_ddns4");
      index = list_index("ComboBox_ddns1");
      break;
    case kTabMail:
    case kTabTestMail:
      for (size_t i = 0; i < 10; ++i) {
        static constexpr std::string_view kEdits[10] = {
            "LabeledEdit_smtp1", "LabeledEdit_smtp10", "LabeledEdit_smtp2", "LabeledEdit_smtp3",
            "LabeledEdit_smtp4", "LabeledEdit_smtp5",  "LabeledEdit_smtp6", "LabeledEdit_smtp7",
            "LabeledEdit_smtp8", "LabeledEdit_smtp9"};
        take(i, kEdits[i]);
      }
      index = list_index("ComboBox_smtp1");
      break;
    case kTabBitrate:
      index = list_index("ComboBox_bitrate");
      break;
    default:
      break;
  }
  // Nothing selected reads as the first entry.
  index = std::max(index, 0);
  const int interval = std::clamp(list_index("ComboBox_smtp2"), 0, kMailIntervalMax);

  if (type == kTabUpnp) {
    upnp_apply();
    return;
  }
  channels::SessionState& s = icmd_.session(0);
  const uint32_t key = session_key();
  auto send_set = [&](uint32_t sub_id) {
    icmd_.IcmdSend(key, channels::kOpSet, channels::kRecordSetup, sub_id);
  };
  switch (type) {
    case kTabBitrate:
      s.pendingSetup |= channels::kSetupBitrate;
      platform::ByteWriter(s.bitrate).u32le(uint32_t(index));
      send_set(channels::kSetupBitrate);
      break;
    case kTabPppoe: {
      s.pendingSetup |= channels::kSetupPppoe;
      platform::ByteWriter(s.pppoe).u16le(uint16_t(index));
      std::fill(s.pppoe.begin() + kPppoeUser, s.pppoe.end(), 0);
      if (texts_[0].size() <= 32 && texts_[1].size() <= 32) {
        put_field(s.pppoe, kPppoeUser, texts_[0], kNameLimit);
        put_field(s.pppoe, kPppoePassword, texts_[1], kNameLimit);
      }
      send_set(channels::kSetupPppoe);
      break;
    }
    case kTabDdns: {
      s.pendingSetup |= channels::kSetupDdns;
      int32_t code = kProviderDisabled;
      if (index == 1) code = (model_variant_ & 1) ? kProviderMaker : kProviderDynDns;
      if (index == 2) code = kProviderNoIp;
      platform::ByteWriter w(s.ddns);
      w.seek(kDdnsProviderCode);
      w.u16le(uint16_t(code));
      std::fill(s.ddns.begin() + kDdnsUser, s.ddns.end(), 0);
      if (texts_[0].size() <= 32 && texts_[1].size() <= 32 && texts_[2].size() <= 48) {
        put_field(s.ddns, kDdnsUser, texts_[0], kNameLimit);
        put_field(s.ddns, kDdnsPassword, texts_[1], kNameLimit);
        put_field(s.ddns, kDdnsHost, texts_[2], kHostLimit);
      }
      send_set(channels::kSetupDdns);
      break;
    }
    case kTabMail:
      build_mail_image(kMailKindSettings);
      send_set(channels::kSetupMail);
      s.mailInterval.fill(0);
      platform::ByteWriter(s.mailInterval).u16le(uint16_t(interval));
      send_set(channels::kSetupMailInterval);
      break;
    case kTabTitle:
      if (hooks_.title_apply) hooks_.title_apply();
      break;
    case kTabTestMail:
      build_mail_image(kMailKindTestMail);
      send_set(channels::kSetupMail);
      break;
    default:
      break;  // the System tab has nothing to send
  }
}

void SetupTabs::build_mail_image(uint8_t kind) {
  channels::SessionState& s = icmd_.session(0);
  s.pendingSetup |= channels::kSetupMail;
  s.mail.fill(0);
  s.mail[0] = kMailMarker;
  s.mail[1] = kind;
  const int status = std::clamp(list_index("ComboBox_smtp1"), 0, 2);
  const std::string strings[kMailStrings] = {std::string(1, char('0' + status)),
                                             texts_[0],
                                             texts_[1],
                                             texts_[2],
                                             texts_[3],
                                             c("CheckBox_SMTP").checked() ? "1" : "0",
                                             texts_[4],
                                             texts_[5],
                                             texts_[6],
                                             texts_[7],
                                             texts_[8],
                                             texts_[9]};
  size_t at = 2;
  for (const std::string& str : strings) {
    // The string and its NUL must end at or before offset 253.
    if (at + str.size() + 1 > kMailStringsEnd) break;
    std::copy(str.begin(), str.end(), s.mail.begin() + ptrdiff_t(at));
    at += str.size() + 1;
  }
  if (kind == kMailKindTestMail) ++test_mail_counter_;
  s.mail[kMailCounter] = uint8_t(test_mail_counter_ & 0xFF);
  s.mail[255] = 0;
}

void SetupTabs::refresh(int type) {
  const uint32_t key = session_key();
  auto query = [&](uint32_t sub_id) {
    icmd_.IcmdSend(key, channels::kOpQuery, channels::kRecordSetup, sub_id);
  };
  switch (type) {
    case kTabSystem:
      icmd_.session(0).pendingSetup = 0;
      break;
    case kTabBitrate:
      query(channels::kSetupBitrate);
      break;
    case kTabPppoe:
      query(channels::kSetupPppoe);
      break;
    case kTabDdns:
      query(channels::kSetupDdns);
      break;
    case kTabMail:
      query(channels::kSetupMail);
      query(channels::kSetupMailInterval);
      mail_mode_rule();
      break;
    case kTabTitle:
      if (hooks_.title_refresh) hooks_.title_refresh();
      break;
    case kTabUpnp:
      upnp_refresh();
      break;
    default:
      break;
  }
}

void SetupTabs::refill(uint32_t sub_id, const channels::SessionState& s) {
  switch (sub_id) {
    case channels::kSetupBitrate:
      select("ComboBox_bitrate", int32_t(platform::ByteReader(s.bitrate).u32le()));
      break;
    case channels::kSetupPppoe:
      select("ComboBox_pppoe1", int16_t(platform::ByteReader(s.pppoe).u16le()));
      c("LabeledEdit_pppoe2").set_caption(field_text(s.pppoe, kPppoeUser, kNameLimit));
      c("LabeledEdit_pppoe3").set_caption(field_text(s.pppoe, kPppoePassword, kNameLimit));
      break;
    case channels::kSetupDdns: {
      const int16_t code = int16_t(platform::load_u16le(s.ddns.data() + kDdnsProviderCode));
      int position = 0;
      if (code == kProviderDynDns || code == kProviderMaker) position = 1;
      if (code == kProviderNoIp) position = 2;
      select("ComboBox_ddns1", position);
      c("LabeledEdit_ddns2").set_caption(field_text(s.ddns, kDdnsUser, kNameLimit));
      c("LabeledEdit_ddns3").set_caption(field_text(s.ddns, kDdnsPassword, kNameLimit));
      c("LabeledEdit_ddns4").set_caption(field_text(s.ddns, kDdnsHost, kHostLimit));
      link_label_rule();
      break;
    }
    case channels::kSetupMail:
      refill_mail(s);
      break;
    case channels::kSetupMailInterval: {
      const int v = int16_t(platform::ByteReader(s.mailInterval).u16le());
      select("ComboBox_smtp2", std::clamp(v, 0, kMailIntervalMax));
      break;
    }
    default:
      break;
  }
}

void SetupTabs::refill_mail(const channels::SessionState& s) {
  const std::vector<std::string> strings = split_mail_strings(s.mail);
  if (strings.empty()) {
    select("ComboBox_smtp1", 0);
    c("CheckBox_SMTP").set_checked(false);
    clear_mail();
    return;
  }
  int status = 0;
  if (strings[0].starts_with("1")) status = 1;
  if (strings[0].starts_with("2")) status = 2;
  if (model_variant_ != 1 && status == 2) status = 1;
  enable(kMailServerFields, status != 2);
  select("ComboBox_smtp1", status);

  for (size_t i = 1; i < size_t(kMailStrings); ++i) {
    const bool present = i < strings.size();
    if (i == 5) {
      c("CheckBox_SMTP").set_checked(present && strings[i].starts_with("1"));
      continue;
    }
    if (i == 2) {
      c("LabeledEdit_smtp10")
          .set_caption(std::to_string(mail_port_number(present ? strings[i] : "")));
      continue;
    }
    if (present) c(kMailEdits[i - 1]).set_caption(strings[i]);
  }
}

void SetupTabs::set_group_enabled(int group, bool enabled) {
  switch (group) {
    case channels::kGroupBitrate:
      // The bitrate controls stay usable whatever is asked.
      enable({"Label_bitrate", "ComboBox_bitrate", "Button_Bitrate"}, true);
      break;
    case channels::kGroupPppoe:
      enable(kPppoeGroup, enabled);
      break;
    case channels::kGroupDdns:
      enable(kDdnsGroup, enabled);
      break;
    case channels::kGroupMail:
      enable(kMailGroup, enabled);
      mail_mode_rule();
      break;
    default:
      break;
  }
}

void SetupTabs::mail_mode_rule() {
  const int index = list_index("ComboBox_smtp1");
  c("Button_SMTP3").set_enabled(index != 0);
  enable(kMailServerFields, index != 2);
}

void SetupTabs::link_label_rule() {
  const int index = list_index("ComboBox_ddns1");
  const bool on = index > 0;
  c("Label_ddns2").set_enabled(on);
  c("Label_ddns3").set_enabled(on);
}

void SetupTabs::clear_pppoe() {
  c("LabeledEdit_pppoe2").set_caption("");
  c("LabeledEdit_pppoe3").set_caption("");
}

void SetupTabs::clear_ddns() {
  for (std::string_view e : {"LabeledEdit_ddns2", "LabeledEdit_ddns3", "LabeledEdit_ddns4"}) {
    c(e).set_caption("");
  }
}

void SetupTabs::clear_mail() {
  for (std::string_view e :
       {"LabeledEdit_smtp1", "LabeledEdit_smtp2", "LabeledEdit_smtp3", "LabeledEdit_smtp4",
        "LabeledEdit_smtp5", "LabeledEdit_smtp6", "LabeledEdit_smtp7", "LabeledEdit_smtp8",
        "LabeledEdit_smtp9", "LabeledEdit_smtp10"}) {
    c(e).set_caption("");
  }
}

void SetupTabs::open_provider_page(bool account_page) {
  int position = list_index("ComboBox_ddns1");
  if (position < 0 || position >= channels::kDdnsProviderPositions) position = 0;
  const int32_t code = icmd_.session(0).ddnsProviderMap[size_t(position)];
  if (code < kProviderDynDns || code > kProviderNoIp) return;
  const Provider& p = kProviders[size_t(code)];
  const std::string_view address = account_page ? p.account_page : p.home_page;
  if (hooks_.open_page) {
    hooks_.open_page(address);
  } else {
    logger_.info("setup: provider page " + std::string(address));
  }
}

void SetupTabs::ddns_home() { open_provider_page(false); }

void SetupTabs::ddns_create_account() {
  if (list_index("ComboBox_ddns1") == 1) {
    open_provider_page(true);
  } else if (hooks_.open_noip_wizard) {
    hooks_.open_noip_wizard();
  } else {
    logger_.info("setup: the No-IP account wizard is not available");
  }
}

std::optional<uint32_t> SetupTabs::upnp_port() {
  const std::string& t = text("LabeledEdit_upnp");
  const std::optional<int64_t> v = parse_integer(t);
  if (!v) {
    dialogs_.message_box("'" + t + "' is not a valid integer value", "Error");
    return std::nullopt;
  }
  // The port shares the word with the request bits: outside 0 to 65535 it would set them.
  if (*v < 0 || *v > 65535) {
    dialogs_.message_box("'" + t + "' is not a valid port number", "Error");
    return std::nullopt;
  }
  return uint32_t(*v);
}

void SetupTabs::upnp_refresh() {
  const std::optional<uint32_t> port = upnp_port();
  if (!port) return;
  const uint32_t on = list_index("ComboBox_upnp") == 1 ? kUpnpOn : 0;
  auto& word = ictl_.buffers().upnp_word;
  platform::ByteWriter(word).u32le(*port + on + kUpnpReadRequest);
  ictl_.SlotWrite(session_key(), kUpnpSlotWrite, word, 1);
}

void SetupTabs::upnp_apply() {
  const uint32_t key = session_key();
  if (key == 0) return;
  const std::optional<uint32_t> port = upnp_port();
  if (!port) return;
  const uint32_t on = list_index("ComboBox_upnp") == 1 ? kUpnpOn : 0;
  auto& word = ictl_.buffers().upnp_word;
  platform::ByteWriter(word).u32le(on + kUpnpWriteRequest + *port);
  ictl_.SlotWrite(key, kUpnpSlotWrite, word, 1);
  platform::ByteWriter(word).u32le(on + *port);
}

void SetupTabs::upnp_display() {
  const uint32_t word = platform::ByteReader(ictl_.buffers().upnp_word).u32le();
  select("ComboBox_upnp", (word & kUpnpOn) ? 1 : 0);
  c("LabeledEdit_upnp").set_caption(std::to_string(word & 0xFFFF));
  if (hooks_.upnp_shown) hooks_.upnp_shown();
}

}  // namespace tessomar::setup
