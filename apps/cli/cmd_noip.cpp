// tessomar-cli noip: the No-IP account conversation without the wizard's window. Each
// subcommand runs one request of the REST client and prints what came back.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>

#include "commands.h"
#include "ddns/noip_client.h"

namespace tessomar::cli {

namespace {

using ddns::NoipClient;

struct NoipOptions {
  ddns::NoipConfig config;
  double timeout_s = 30;
  std::string step;
  std::map<std::string, std::string> values;  // the step's --name VALUE options
  // --dvr (or --apply-to-dvr) HOST:PORT --uk KEY: create-account runs the whole wizard from
  // the DVR's DDNS tab and applies the tab.
  std::string dvr, uk;
};

// Runs one request of `kind` and polls until its reply was handled. False (with the reason
// on stderr) when the request could not be sent or no reply came in time.
bool run_request(NoipClient& client, int32_t kind, double timeout_s) {
  client.set_kind(kind);
  if (!client.start_request(0)) return false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(timeout_s * 1000));
  while (!client.poll_reply()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "tessomar-cli noip: no reply from the no-ip server\n");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Message boxes go to stderr as "CAPTION: text".
void report_messages(platform::HeadlessDialogs& dialogs) {
  for (const auto& m : dialogs.messages()) {
    std::fprintf(stderr, "%s: %s\n", m.caption.c_str(), m.text.c_str());
  }
  dialogs.clear_messages();
}

int usage(const std::string& message) {
  return usage_error("noip",
                     message +
                         "\nusage: tessomar-cli noip --service HOST:PORT [--client-id ID --key KEY]"
                         " [--timeout S] STEP ...  (see tessomar-cli noip --help)");
}

// The options each step needs.
const std::map<std::string, std::vector<std::string>>& step_options() {
  static const std::map<std::string, std::vector<std::string>> steps = {
      {"create-account",
       {"--username", "--email", "--password", "--firstname", "--lastname", "--postal-code"}},
      {"add-host", {"--user-id", "--user-key", "--host", "--domain", "--ip"}},
      {"info", {"--user-id", "--user-key"}},
      {"check", {"--username"}},
      {"domains", {}},
  };
  return steps;
}

int parse_options(const Args& args, NoipOptions& out) {
  bool have_service = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      if (!out.step.empty()) return usage("unexpected \"" + a + "\"");
      out.step = a;
      continue;
    }
    if (i + 1 >= args.size()) return usage(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--service") {
      const size_t colon = v.rfind(':');
      std::string port = colon == std::string::npos ? "80" : v.substr(colon + 1);
      out.config.host = v.substr(0, colon);
      if (out.config.host.empty() || port.empty() || port.size() > 5 ||
          port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
        return usage("bad --service \"" + v + "\" (expected HOST[:PORT])");
      }
      out.config.port = std::stoi(port);
      have_service = true;
    } else if (a == "--apply-to-dvr" || a == "--dvr") {
      out.dvr = v;
    } else if (a == "--uk") {
      out.uk = v;
    } else if (a == "--client-id") {
      out.config.client_id = v;
    } else if (a == "--key") {
      out.config.client_key = v;
    } else if (a == "--timeout") {
      char* end = nullptr;
      out.timeout_s = std::strtod(v.c_str(), &end);
      if (*end != '\0' || out.timeout_s <= 0) return usage("bad --timeout \"" + v + "\"");
    } else {
      out.values[a] = v;
    }
  }
  if (!have_service) return usage("--service HOST:PORT is required");
  const auto step = step_options().find(out.step);
  if (step == step_options().end()) return usage("unknown or missing step \"" + out.step + "\"");
  std::vector<std::string> allowed = step->second;
  if (!out.dvr.empty() || !out.uk.empty()) {
    if (out.step != "create-account") return usage("--dvr belongs to create-account");
    if (out.dvr.empty() || out.uk.empty()) return usage("--dvr HOST:PORT and --uk KEY go together");
    allowed.insert(allowed.end(), {"--host", "--domain"});
    if (!out.values.count("--host")) return usage("--dvr needs --host");
  }
  for (const auto& [name, value] : out.values) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      return usage("option " + name + " does not belong to " + out.step);
    }
    const std::string why = ddns::noip_refused_value(name.substr(2), value);
    if (!why.empty()) return usage(why);
  }
  for (const auto& name : step->second) {
    if (!out.values.count(name)) return usage(out.step + " needs " + name);
  }
  return kExitOk;
}

}  // namespace

int cmd_noip(const Args& args) {
  NoipOptions o;
  if (int status = parse_options(args, o); status != kExitOk) return status;
  if (!o.dvr.empty()) {
    Args dvr_args{"--dvr", o.dvr, "--uk", o.uk, "--timeout", std::to_string(o.timeout_s)};
    DvrOptions dvr;
    std::string error;
    if (!take_dvr_options(dvr_args, dvr, error)) return usage(error);
    NoipWizardInput input;
    input.username = o.values["--username"];
    input.email = o.values["--email"];
    input.password = o.values["--password"];
    input.firstname = o.values["--firstname"];
    input.lastname = o.values["--lastname"];
    input.postal_code = o.values["--postal-code"];
    input.host = o.values["--host"];
    input.domain = o.values["--domain"];
    return noip_apply_to_dvr(o.config, input, dvr);
  }
  platform::Logger logger;
  if (const char* log = std::getenv("TESSOMAR_LOG"); log && *log && *log != '0') {
    logger.set_sink(platform::log_to_stderr);
  }
  platform::HeadlessDialogs dialogs(logger);
  NoipClient client(dialogs, logger, o.config, [] { return int64_t(std::time(nullptr)); });
  auto& f = client.fields();
  auto value = [&](const char* name) { return o.values[name]; };

  int status = kExitFailed;
  if (o.step == "check") {
    f.username = value("--username");
    bool answered = false;
    client.hooks().availability_answered = [&] { answered = true; };
    if (run_request(client, ddns::kKindCheckUser, o.timeout_s) && answered &&
        !dialogs.messages().empty()) {
      const platform::MessageBoxRecord& last = dialogs.messages().back();
      const bool free = last.caption == "PASS";
      // Anything but the two availability answers is the service refusing the question; it
      // stays in the messages and is reported below.
      if (free || last.text == "This Username is not available") {
        std::printf("username=%s\navailable=%s\n", f.username.c_str(), free ? "yes" : "no");
        dialogs.clear_messages();
        status = kExitOk;
      }
    }
  } else if (o.step == "create-account") {
    f.username = value("--username");
    f.email = value("--email");
    f.password = value("--password");
    f.firstname = value("--firstname");
    f.lastname = value("--lastname");
    f.postal_code = value("--postal-code");
    if (run_request(client, ddns::kKindCreateAccount, o.timeout_s) &&
        client.kind() == ddns::kKindAccountCreated) {
      std::printf("username=%s\nuser_id=%s\nuser_key=%s\n", client.saved_user().c_str(),
                  client.user_id().c_str(), client.user_key().c_str());
      status = kExitOk;
    }
  } else if (o.step == "domains") {
    bool listed = false;
    client.hooks().domains_listed = [&] { listed = true; };
    if (run_request(client, ddns::kKindListDomains, o.timeout_s) && listed) {
      for (const auto& d : client.domains()) std::printf("domain=%s\n", d.c_str());
      status = kExitOk;
    }
  } else if (o.step == "add-host") {
    client.set_user_credentials(value("--user-id"), value("--user-key"));
    f.host = value("--host");
    f.domain = value("--domain");
    f.ip = value("--ip");
    if (run_request(client, ddns::kKindCreateHost, o.timeout_s) &&
        client.kind() == ddns::kKindHostCreated) {
      std::printf("host=%s\nip=%s\n", client.full_host().c_str(), f.ip.c_str());
      status = kExitOk;
    }
  } else if (o.step == "info") {
    client.set_user_credentials(value("--user-id"), value("--user-key"));
    bool complete = false;
    client.hooks().account_value = [](std::string_view name, std::string_view v) {
      std::printf("%.*s=%.*s\n", int(name.size()), name.data(), int(v.size()), v.data());
    };
    client.hooks().account_info_complete = [&] { complete = true; };
    if (run_request(client, ddns::kKindAccountInfo, o.timeout_s) && complete) status = kExitOk;
    if (!complete && dialogs.messages().empty()) {
      std::fprintf(stderr, "tessomar-cli noip: the account information was not found\n");
    }
  }
  report_messages(dialogs);
  return status;
}

}  // namespace tessomar::cli
