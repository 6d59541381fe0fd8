// The No-IP wizard without a window: opened from the DVR's DDNS tab with No-IP chosen, its
// fields filled and its buttons pressed in order while the loop runs its poll timer, and OK
// applying the DDNS tab to the DVR.
#include <algorithm>
#include <cstdio>
#include <set>

#include "commands.h"
#include "keyform/key_form_state.h"
#include "setup/providers.h"
#include "setup/setup_tabs.h"

namespace tessomar::cli {

namespace {

void fail(const std::string& why) { std::fprintf(stderr, "tessomar-cli noip: %s\n", why.c_str()); }

// The first message box with the caption "ERROR" since the messages were cleared.
const platform::MessageBoxRecord* error_message(const platform::HeadlessDialogs& dialogs) {
  for (const auto& m : dialogs.messages()) {
    if (m.caption == "ERROR") return &m;
  }
  return nullptr;
}

}  // namespace

int noip_apply_to_dvr(const ddns::NoipConfig& config, const NoipWizardInput& input,
                      const DvrOptions& opts) {
  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  std::string error;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    fail(error);
    return kExitFailed;
  }
  const uint32_t timeout_ms = uint32_t(opts.timeout_s * 1000);
  shell::Control& control = host.control();
  control.set_noip_config(config);
  platform::Form& form = control.form();
  platform::PollEventLoop& loop = host.loop();
  platform::HeadlessDialogs& dialogs = host.dialogs();

  keyform::KeyFormVariables& vars = control.key_form().context().vars;
  if (vars.ie_page[keyform::kPageSetup] == keyform::kKeyHidden) {
    fail("this DVR user has no Setup page");
    return kExitFailed;
  }
  vars.ie_page2 = keyform::kPageSetup;
  control.key_form().state().update(false);
  std::set<uint32_t> received;
  control.observer().setup_received = [&received](uint32_t sub) { received.insert(sub); };
  platform::Component& pages = form["PageControl1"];
  pages.set_item_index(setup::kTabDdns);
  pages.fire("OnChange");
  if (!loop.run_until([&] { return received.count(channels::kSetupDdns) != 0; }, timeout_ms)) {
    fail("no DDNS settings from the DVR in time");
    return kExitFailed;
  }

  // No-IP on the DDNS tab, then its Create Account link opens the wizard.
  const auto& map = control.setup().provider_map();
  platform::Component& provider = form["ComboBox_ddns1"];
  int position = -1;
  for (size_t i = 0; i < map.size() && i < provider.items().size(); ++i) {
    if (map[i] == setup::kProviderNoIp) position = int(i);
  }
  if (position < 0) {
    fail("this DVR does not offer No-IP");
    return kExitFailed;
  }
  provider.set_item_index(position);
  provider.set_caption(provider.items()[size_t(position)]);
  provider.fire("OnChange");
  form["Label_ddns3"].fire("OnClick");
  ddns::NoipWizard& wizard = control.noip_wizard();
  if (!wizard.showing()) {
    fail("the No-IP wizard did not open");
    return kExitFailed;
  }

  platform::Form& w = wizard.form();
  auto type = [&w](std::string_view name, const std::string& text) {
    w[name].set_caption(text);
    w[name].fire("OnChange");
  };
  // Presses a button and runs the loop until `done` or an error message.
  auto press = [&](std::string_view button, const std::function<bool()>& done, const char* step) {
    dialogs.clear_messages();
    if (!w[button].enabled()) {
      fail(std::string(step) + ": the button is not enabled (a field is empty?)");
      return false;
    }
    w[button].fire("OnClick");
    loop.run_until([&] { return done() || error_message(dialogs) != nullptr; }, timeout_ms);
    if (const platform::MessageBoxRecord* m = error_message(dialogs)) {
      fail(std::string(step) + ": " + m->text);
      return false;
    }
    if (!done()) {
      fail(std::string(step) + ": no answer from the No-IP service in time");
      return false;
    }
    return true;
  };

  type("Username", input.username);
  type("email", input.email);
  type("password", input.password);
  type("cpassword", input.password);
  type("firstname", input.firstname);
  type("lastname", input.lastname);
  type("postal_code", input.postal_code);
  w["CheckBox1"].set_checked(true);
  w["CheckBox1"].fire("OnClick");

  if (!press(
          "CheckUas", [&] { return !dialogs.messages().empty(); }, "check user name")) {
    return kExitFailed;
  }
  std::printf("%s\n", dialogs.messages().front().text.c_str());
  if (!press(
          "Create", [&] { return w["Panel3"].visible(); }, "create account")) {
    return kExitFailed;
  }

  platform::Component& domains = w["ComboBox1"];
  int domain = domains.item_index();
  if (!input.domain.empty()) {
    const auto& items = domains.items();
    const auto it = std::find(items.begin(), items.end(), input.domain);
    if (it == items.end()) {
      std::string offered;
      for (const auto& d : items) offered += (offered.empty() ? "" : ", ") + d;
      fail("the service offers no domain \"" + input.domain + "\" (" + offered + ")");
      return kExitFailed;
    }
    domain = int(it - items.begin());
  }
  domains.set_item_index(domain);
  if (domain >= 0) domains.set_caption(domains.items()[size_t(domain)]);
  type("Edit_host", input.host);
  if (!press(
          "Button2", [&] { return w["Panel4"].visible(); }, "add host"))
    return kExitFailed;
  for (const char* name : {"info_username", "info_email", "info_firstname", "info_lastname",
                           "info_postalcode", "info_host", "info_ip"}) {
    std::printf("%s=%s\n", name + 5, w[name].caption().c_str());
  }

  // OK: the DDNS tab takes the account and is applied; the DVR confirms it.
  dialogs.clear_messages();
  received.clear();
  w["Button3"].fire("OnClick");
  const bool confirmed = loop.run_until(
      [&] { return !dialogs.messages().empty() && received.count(channels::kSetupDdns) != 0; },
      timeout_ms);
  for (const auto& m : dialogs.messages()) {
    std::printf("%s [%s]\n", m.text.c_str(), m.caption.c_str());
  }
  if (!confirmed) {
    fail("the DVR did not confirm the DDNS settings in time");
    return kExitFailed;
  }
  std::printf("ddns user=%s host=%s\n", form["LabeledEdit_ddns2"].caption().c_str(),
              form["LabeledEdit_ddns4"].caption().c_str());
  return kExitOk;
}

}  // namespace tessomar::cli
