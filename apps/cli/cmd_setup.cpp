// The setup pages without a window: the command fills the same tabs a user would, presses
// Apply and waits for the DVR's confirmation.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "commands.h"
#include "keyform/key_form_state.h"
#include "setup/providers.h"
#include "setup/setup_tabs.h"

namespace tessomar::cli {

namespace {

enum class Kind {
  kText,    // an edit: at most `limit` characters
  kPort,    // an edit: 1 to 65535
  kChoice,  // a list: an entry's text (any case) or its index
  kCheck,   // a check box: 0 or 1
  kShown,   // read only
};

struct Field {
  const char* name;
  Kind kind;
  const char* component;
  int limit = 0;  // text length, or the highest index of a list
  bool secret = false;
};

struct Tab {
  const char* name;
  int page;
  std::vector<Field> fields;
};

using setup::kTabBitrate;
using setup::kTabDdns;
using setup::kTabMail;
using setup::kTabPppoe;
using setup::kTabSystem;
using setup::kTabUpnp;

const std::vector<Tab>& tabs() {
  static const std::vector<Tab> all = {
      {"system",
       kTabSystem,
       {{"os", Kind::kShown, "Label_System1"},
        {"serial", Kind::kShown, "Label_System2"},
        {"board", Kind::kShown, "Label_System3"},
        {"number", Kind::kShown, "Label_System4"},
        {"remote_ip", Kind::kShown, "LabeledEdit_System1"},
        {"remote_port", Kind::kShown, "LabeledEdit_System2"}}},
      {"bitrate", kTabBitrate, {{"bitrate", Kind::kChoice, "ComboBox_bitrate", 9}}},
      {"pppoe",
       kTabPppoe,
       {{"status", Kind::kChoice, "ComboBox_pppoe1", 1},
        {"user", Kind::kText, "LabeledEdit_pppoe2", setup::kNameLimit},
        {"password", Kind::kText, "LabeledEdit_pppoe3", setup::kNameLimit, true}}},
      {"ddns",
       kTabDdns,
       {{"provider", Kind::kChoice, "ComboBox_ddns1", setup::kProviderCount - 1},
        {"user", Kind::kText, "LabeledEdit_ddns2", setup::kNameLimit},
        {"password", Kind::kText, "LabeledEdit_ddns3", setup::kNameLimit, true},
        {"host", Kind::kText, "LabeledEdit_ddns4", setup::kHostLimit}}},
      {"mail",
       kTabMail,
       {{"status", Kind::kChoice, "ComboBox_smtp1", 2},
        {"server", Kind::kText, "LabeledEdit_smtp1", setup::kNameLimit},
        {"port", Kind::kPort, "LabeledEdit_smtp10", setup::kPortLimit},
        {"user", Kind::kText, "LabeledEdit_smtp2", setup::kNameLimit},
        {"password", Kind::kText, "LabeledEdit_smtp3", setup::kNameLimit, true},
        {"secure", Kind::kCheck, "CheckBox_SMTP"},
        {"sender", Kind::kText, "LabeledEdit_smtp4", setup::kNameLimit},
        {"receiver1", Kind::kText, "LabeledEdit_smtp5", setup::kNameLimit},
        {"receiver2", Kind::kText, "LabeledEdit_smtp6", setup::kNameLimit},
        {"receiver3", Kind::kText, "LabeledEdit_smtp7", setup::kNameLimit},
        {"subject", Kind::kText, "LabeledEdit_smtp8", setup::kNameLimit},
        {"location", Kind::kText, "LabeledEdit_smtp9", setup::kNameLimit},
        {"interval", Kind::kChoice, "ComboBox_smtp2", setup::kMailIntervalMax}}},
      {"upnp",
       kTabUpnp,
       {{"status", Kind::kChoice, "ComboBox_upnp", 1},
        {"port", Kind::kPort, "LabeledEdit_upnp", setup::kPortLimit}}},
  };
  return all;
}

const Tab* find_tab(const std::string& name) {
  for (const Tab& t : tabs()) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

const Field* find_field(const Tab& tab, const std::string& name) {
  for (const Field& f : tab.fields) {
    if (name == f.name) return &f;
  }
  // The maker's variant calls the host a domain.
  if (tab.page == kTabDdns && name == "domain") return find_field(tab, "host");
  return nullptr;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

bool all_digits(const std::string& s) {
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A list value before the DVR is known: an index in range or a name; names are matched to the
// prepared list later.
bool check_value(const Tab& tab, const Field& f, const std::string& v, std::string& why) {
  switch (f.kind) {
    case Kind::kShown:
      why = std::string(f.name) + " cannot be set";
      return false;
    case Kind::kText:
      if (int(v.size()) > f.limit) {
        why = std::string(f.name) + " is longer than " + std::to_string(f.limit) + " characters";
        return false;
      }
      if (v.find('\0') != std::string::npos) {
        why = std::string(f.name) + " holds a NUL";
        return false;
      }
      return true;
    case Kind::kPort:
      if (!all_digits(v) || std::stol(v) < 1 || std::stol(v) > 65535) {
        why = std::string(f.name) + " \"" + v + "\" is not a port number (1 to 65535)";
        return false;
      }
      return true;
    case Kind::kCheck:
      if (v != "0" && v != "1") {
        why = std::string(f.name) + " must be 0 or 1";
        return false;
      }
      return true;
    case Kind::kChoice: {
      if (all_digits(v)) {
        if (std::stol(v) > f.limit) {
          why = std::string(f.name) + " must be 0 to " + std::to_string(f.limit);
          return false;
        }
        return true;
      }
      const std::string l = lower(v);
      bool known = false;
      if (tab.page == kTabDdns) {
        for (const auto& p : setup::kProviders) known |= l == p.cli_name;
      } else if (tab.page == kTabBitrate) {
        for (const auto& t : setup::bitrate_texts()) known |= l == lower(t);
      } else if (f.limit <= 2) {
        known = l == "off" || l == "on" || (f.limit == 2 && l == "default");
      }
      if (!known) {
        why = "unknown " + std::string(f.name) + " \"" + v + "\"";
        return false;
      }
      return true;
    }
  }
  return false;
}

// The list position of a checked value on the prepared tab; -1 when the DVR lacks it.
int list_position(const Tab& tab, const Field& f, const std::string& v, shell::Control& control) {
  const auto& items = control.form()[f.component].items();
  if (tab.page == kTabDdns) {
    int32_t code = -1;
    if (all_digits(v)) {
      code = int32_t(std::stol(v));
    } else {
      for (const auto& p : setup::kProviders) {
        if (lower(v) == p.cli_name) code = p.code;
      }
    }
    const auto& map = control.setup().provider_map();
    for (size_t i = 0; i < map.size() && i < items.size(); ++i) {
      if (map[i] == code) return int(i);
    }
    return -1;
  }
  if (all_digits(v)) {
    const long i = std::stol(v);
    return i < long(items.size()) ? int(i) : -1;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (lower(items[i]) == lower(v)) return int(i);
  }
  return -1;
}

std::string shown_value(const Tab& tab, const Field& f, shell::Control& control,
                        bool show_secrets) {
  platform::Component& c = control.form()[f.component];
  switch (f.kind) {
    case Kind::kCheck:
      return c.checked() ? "1" : "0";
    case Kind::kChoice: {
      const int i = c.item_index();
      if (tab.page == kTabDdns) {
        const auto& map = control.setup().provider_map();
        const int32_t code = i >= 0 && size_t(i) < map.size() ? map[size_t(i)] : -1;
        const setup::Provider* p = setup::find_provider(code);
        return p ? std::string(p->cli_name) : std::string();
      }
      if (tab.page == kTabBitrate || (tab.page == kTabMail && f.limit == setup::kMailIntervalMax)) {
        return std::to_string(i);
      }
      return c.caption();
    }
    default:
      if (f.secret && !show_secrets) return std::string(c.caption().size(), '*');
      return c.caption();
  }
}

void print_tab(const Tab& tab, shell::Control& control, bool show_secrets, bool mail_interval) {
  for (const Field& f : tab.fields) {
    if (tab.page == kTabMail && f.limit == setup::kMailIntervalMax && !mail_interval) continue;
    std::printf("%s=%s\n", f.name, shown_value(tab, f, control, show_secrets).c_str());
    if (tab.page == kTabDdns && std::string(f.name) == "provider") {
      std::printf("provider_text=%s\n", control.form()[f.component].caption().c_str());
    }
  }
}

// The setting records a tab's refresh asks for and its Apply sends.
std::vector<uint32_t> tab_records(int page) {
  switch (page) {
    case kTabBitrate:
      return {channels::kSetupBitrate};
    case kTabPppoe:
      return {channels::kSetupPppoe};
    case kTabDdns:
      return {channels::kSetupDdns};
    case kTabMail:
      return {channels::kSetupMail, channels::kSetupMailInterval};
    default:
      return {};
  }
}

constexpr const char* kUsage =
    "usage: setup --dvr HOST:PORT --uk KEY [--show-passwords] get "
    "system|bitrate|pppoe|ddns|mail|upnp|interval\n"
    "       setup --dvr HOST:PORT --uk KEY set bitrate|pppoe|ddns|mail|upnp KEY=VALUE...\n"
    "       setup --dvr HOST:PORT --uk KEY set bitrate 0-9 | set interval 0-60\n"
    "       setup --dvr HOST:PORT --uk KEY link home|account [provider=NAME]";

}  // namespace

int cmd_setup(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("setup", error);
  bool show_secrets = false;
  if (auto it = std::find(args.begin(), args.end(), "--show-passwords"); it != args.end()) {
    show_secrets = true;
    args.erase(it);
  }
  if (args.size() < 2) return usage_error("setup", kUsage);
  // "link" follows the DDNS tab's Home or Create Account link for the chosen provider.
  const bool link = args[0] == "link";
  const bool set = args[0] == "set" || link;
  if (!set && args[0] != "get") return usage_error("setup", kUsage);
  if (link && args[1] != "home" && args[1] != "account") return usage_error("setup", kUsage);
  const bool account_link = link && args[1] == "account";

  // The two shorthands of the first setup command.
  std::string tab_name = link ? "ddns" : args[1];
  std::vector<std::string> pairs(args.begin() + 2, args.end());
  bool interval_only = false;
  if (tab_name == "interval") {
    tab_name = "mail";
    interval_only = true;
    if (set && pairs.size() == 1 && pairs[0].find('=') == std::string::npos) {
      pairs[0] = "interval=" + pairs[0];
    }
  } else if (tab_name == "bitrate" && set && pairs.size() == 1 &&
             pairs[0].find('=') == std::string::npos) {
    pairs[0] = "bitrate=" + pairs[0];
  }
  const Tab* tab = find_tab(tab_name);
  if (!tab) return usage_error("setup", "unknown tab \"" + args[1] + "\"\n" + kUsage);
  if (!set && !pairs.empty()) return usage_error("setup", kUsage);
  if (set && tab->page == kTabSystem) return usage_error("setup", "the system tab is read only");
  if (set && !link && pairs.empty()) {
    return usage_error("setup", "nothing to set\n" + std::string(kUsage));
  }
  if (link && (pairs.size() > 1 || (pairs.size() == 1 && !pairs[0].starts_with("provider=")))) {
    return usage_error("setup", "link takes only provider=NAME");
  }

  // Every value is checked before anything is sent.
  std::vector<std::pair<const Field*, std::string>> values;
  std::set<std::string> seen;
  for (const std::string& p : pairs) {
    const size_t eq = p.find('=');
    if (eq == std::string::npos)
      return usage_error("setup", "expected KEY=VALUE, got \"" + p + "\"");
    const std::string key = p.substr(0, eq), value = p.substr(eq + 1);
    const Field* f = find_field(*tab, key);
    if (!f) {
      std::string keys;
      for (const Field& k : tab->fields) keys += std::string(keys.empty() ? "" : ", ") + k.name;
      return usage_error("setup",
                         "unknown key \"" + key + "\" for " + tab->name + " (" + keys + ")");
    }
    if (!seen.insert(f->name).second)
      return usage_error("setup", std::string(f->name) + " given twice");
    if (!check_value(*tab, *f, value, error)) return usage_error("setup", error);
    values.emplace_back(f, value);
  }
  if (opts.params.size() < 3) {
    return usage_error("setup", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }

  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli setup: %s\n", error.c_str());
    return kExitFailed;
  }
  const uint32_t timeout_ms = uint32_t(opts.timeout_s * 1000);
  shell::Control& control = host.control();
  platform::Form& form = control.form();
  const channels::DeviceIdentity& device = control.vask().record(0).device;
  // The pages open to this user: the key form hides the Setup tab from lower levels.
  keyform::KeyFormVariables& vars = control.key_form().context().vars;
  if (vars.ie_page[keyform::kPageSetup] == keyform::kKeyHidden) {
    std::fprintf(stderr, "tessomar-cli setup: this user (level %s) has no Setup page\n",
                 control.link().slot(0).credential_a.c_str());
    return kExitFailed;
  }
  // Into Setup mode as the key form's Setup tab does it.
  vars.ie_page2 = keyform::kPageSetup;
  control.key_form().state().update(false);
  if (!form["PageControl1"].visible()) {
    std::fprintf(stderr, "tessomar-cli setup: the setup pages did not open\n");
    return kExitFailed;
  }

  // The DDNS page's links print the addresses they would open.
  setup::SetupHooks& hooks = control.setup().hooks();
  hooks.open_page = [](std::string_view address) {
    std::printf("open %.*s\n", int(address.size()), address.data());
  };
  bool upnp_shown = false;
  hooks.upnp_shown = [&upnp_shown] { upnp_shown = true; };
  std::set<uint32_t> received;
  control.observer().setup_received = [&received](uint32_t sub) { received.insert(sub); };

  if (tab->page == kTabUpnp) {
    // The tab shows once the DVR said it offers UPnP, in its machine-type answer.
    const auto& machine = control.ictl().buffers().machine_type;
    host.loop().run_until(
        [&] { return std::any_of(machine.begin(), machine.end(), [](uint8_t b) { return b; }); },
        timeout_ms);
    if (!form["TabSheet7"].visible()) {
      std::fprintf(stderr, "tessomar-cli setup: this DVR offers no UPnP\n");
      return kExitFailed;
    }
  }
  const bool mail_interval = device.mail_variant != 1;
  for (const auto& [f, value] : values) {
    if (tab->page == kTabMail && f->limit == setup::kMailIntervalMax && !mail_interval) {
      return usage_error("setup", "this DVR has no mail interval");
    }
  }

  // The tab as the user finds it: its refresh, and the DVR's answer refills it.
  platform::Component& pages = form["PageControl1"];
  pages.set_item_index(tab->page);
  pages.fire("OnChange");
  const std::vector<uint32_t> records = tab_records(tab->page);
  auto arrived = [&] {
    if (tab->page == kTabUpnp) return upnp_shown;
    return std::all_of(records.begin(), records.end(),
                       [&](uint32_t r) { return received.count(r) != 0; });
  };
  if (!host.loop().run_until(arrived, timeout_ms)) {
    std::fprintf(stderr, "tessomar-cli setup: no %s settings from the DVR in time\n", tab->name);
    return kExitFailed;
  }

  if (!set) {
    if (interval_only) {
      std::printf("interval=%d\n", form["ComboBox_smtp2"].item_index());
    } else {
      print_tab(*tab, control, show_secrets, mail_interval);
    }
    return kExitOk;
  }

  for (const auto& [f, value] : values) {
    platform::Component& c = form[f->component];
    if (f->kind == Kind::kChoice) {
      const int position = list_position(*tab, *f, value, control);
      if (position < 0) {
        std::string offered;
        for (const auto& item : c.items()) offered += (offered.empty() ? "" : ", ") + item;
        if (tab->page == kTabDdns) {
          offered.clear();
          for (int32_t code : control.setup().provider_map()) {
            if (const setup::Provider* p = setup::find_provider(code)) {
              offered += (offered.empty() ? "" : ", ") + std::string(p->cli_name);
            }
          }
        }
        return usage_error("setup", std::string(f->name) + " \"" + value +
                                        "\" is not offered by this DVR (" + offered + ")");
      }
      c.set_item_index(position);
      c.set_caption(c.items()[size_t(position)]);
      c.fire("OnChange");
    } else if (f->kind == Kind::kCheck) {
      c.set_checked(value == "1");
    } else {
      c.set_caption(value);
    }
  }

  if (link) {
    bool opened = false, wizard = false;
    hooks.open_page = [&opened](std::string_view address) {
      std::printf("open %.*s\n", int(address.size()), address.data());
      opened = true;
    };
    hooks.open_noip_wizard = [&wizard] { wizard = true; };
    form[account_link ? "Label_ddns3" : "Label_ddns2"].fire("OnClick");
    if (wizard) {
      std::fprintf(stderr,
                   "tessomar-cli setup: No-IP accounts are made with its wizard: tessomar-cli "
                   "noip ... create-account --apply-to-dvr HOST:PORT --uk KEY\n");
      return kExitFailed;
    }
    if (!opened) {
      std::fprintf(stderr, "tessomar-cli setup: no provider chosen, so no page to open\n");
      return kExitFailed;
    }
    return kExitOk;
  }

  auto& messages = host.dialogs().messages();
  host.dialogs().clear_messages();
  received.clear();
  const char* button = tab->page == kTabBitrate ? "Button_Bitrate"
                       : tab->page == kTabPppoe ? "Button_PPPoE"
                       : tab->page == kTabDdns  ? "Button_DDNS"
                       : tab->page == kTabMail  ? "Button_SMTP"
                                                : "Button_UPNP";
  form[button].fire("OnClick");
  // Confirmed: the message, and every record sent came back.
  const bool done = host.loop().run_until(
      [&] { return !messages.empty() && (tab->page == kTabUpnp || arrived()); }, timeout_ms);
  for (const auto& m : messages) std::printf("%s [%s]\n", m.text.c_str(), m.caption.c_str());
  if (!done) {
    std::fprintf(stderr, "tessomar-cli setup: the DVR did not confirm the %s settings in time\n",
                 tab->name);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace tessomar::cli
