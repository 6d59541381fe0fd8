#include <cstdio>
#include <cstring>

#include "commands.h"
#include "platform/bytes.h"

namespace tessomar::cli {

namespace {

struct Setting {
  const char* name;
  uint32_t sub_id;
  bool settable;
  int min, max;
};

constexpr Setting kSettings[] = {
    {"bitrate", channels::kSetupBitrate, true, 0, 9},
    {"pppoe", channels::kSetupPppoe, false, 0, 0},
    {"ddns", channels::kSetupDdns, false, 0, 0},
    {"mail", channels::kSetupMail, false, 0, 0},
    {"interval", channels::kSetupMailInterval, true, 0, 60},
};

std::string text_at(const uint8_t* p, size_t max) {
  size_t n = strnlen(reinterpret_cast<const char*>(p), max);
  return std::string(reinterpret_cast<const char*>(p), n);
}

void print_setting(const Setting& s, const channels::SessionState& st) {
  switch (s.sub_id) {
    case channels::kSetupBitrate:
      std::printf("bitrate=%u\n", platform::ByteReader(st.bitrate).u32le());
      break;
    case channels::kSetupPppoe:
      std::printf("pppoe_status=%s\npppoe_user=%s\n", st.pppoe[0] ? "on" : "off",
                  text_at(st.pppoe.data() + 4, 32).c_str());
      break;
    case channels::kSetupDdns:
      std::printf("ddns_provider=%u\nddns_user=%s\nddns_host=%s\n",
                  unsigned(platform::load_u16le(st.ddns.data() + 2)),
                  text_at(st.ddns.data() + 4, 32).c_str(),
                  text_at(st.ddns.data() + 68, 48).c_str());
      break;
    case channels::kSetupMail: {
      // Twelve NUL-terminated strings from offset 2: status, server, port, ...
      const uint8_t* p = st.mail.data() + 2;
      std::string status = text_at(p, 252);
      p += status.size() + 1;
      std::string server = text_at(p, size_t(st.mail.data() + 254 - p));
      p += server.size() + 1;
      std::string port = text_at(p, size_t(st.mail.data() + 254 - p));
      std::printf("mail_status=%s\nmail_server=%s\nmail_port=%s\n", status.c_str(), server.c_str(),
                  port.c_str());
      break;
    }
    case channels::kSetupMailInterval:
      std::printf("interval=%u\n", unsigned(platform::ByteReader(st.mailInterval).u16le()));
      break;
  }
}

}  // namespace

int cmd_setup(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("setup", error);
  const char* usage =
      "usage: setup --dvr HOST:PORT --uk KEY get bitrate|pppoe|ddns|mail|interval"
      " | set bitrate 0-9 | set interval 0-60";
  if (args.size() < 2) return usage_error("setup", usage);
  bool set = args[0] == "set";
  if (!set && args[0] != "get") return usage_error("setup", usage);
  const Setting* setting = nullptr;
  for (const auto& s : kSettings) {
    if (args[1] == s.name) setting = &s;
  }
  if (!setting) return usage_error("setup", "unknown setting \"" + args[1] + "\"\n" + usage);
  int value = 0;
  if (set) {
    if (!setting->settable)
      return usage_error("setup", std::string(setting->name) + " cannot be set here");
    if (args.size() != 3) return usage_error("setup", usage);
    int32_t v = 0;
    if (!shell::text_to_int32(args[2], v) || v < setting->min || v > setting->max) {
      return usage_error("setup", "bad value \"" + args[2] + "\" for " + setting->name + " (" +
                                      std::to_string(setting->min) + " to " +
                                      std::to_string(setting->max) + ")");
    }
    value = v;
  } else if (args.size() != 2) {
    return usage_error("setup", usage);
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
  shell::Control& control = host.control();
  channels::SessionState& st = control.icmd().session(0);
  uint32_t key = control.link().slot(0).session_key;
  bool received = false;
  control.observer().setup_received = [&](uint32_t sub) { received |= sub == setting->sub_id; };

  if (!set) {
    control.icmd().IcmdSend(key, channels::kOpQuery, channels::kRecordSetup, setting->sub_id);
    if (!host.loop().run_until([&] { return received; }, uint32_t(opts.timeout_s * 1000))) {
      std::fprintf(stderr, "tessomar-cli setup: no %s setting from the DVR in time\n",
                   setting->name);
      return kExitFailed;
    }
    print_setting(*setting, st);
    return kExitOk;
  }

  if (setting->sub_id == channels::kSetupBitrate) {
    platform::ByteWriter(st.bitrate).u32le(uint32_t(value));
  } else {
    st.mailInterval.fill(0);
    platform::ByteWriter(st.mailInterval).u16le(uint16_t(value));
  }
  st.pendingSetup |= setting->sub_id;
  control.icmd().IcmdSend(key, channels::kOpSet, channels::kRecordSetup, setting->sub_id);
  auto& messages = host.dialogs().messages();
  if (!host.loop().run_until([&] { return !messages.empty(); }, uint32_t(opts.timeout_s * 1000))) {
    std::fprintf(stderr, "tessomar-cli setup: the DVR did not confirm the %s setting in time\n",
                 setting->name);
    return kExitFailed;
  }
  for (const auto& m : messages) std::printf("%s [%s]\n", m.text.c_str(), m.caption.c_str());
  return kExitOk;
}

}  // namespace tessomar::cli
