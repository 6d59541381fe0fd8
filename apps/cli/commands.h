// The CLI's subcommands and the headless host they share.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ddns/noip_client.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "platform/log.h"
#include "platform/sound.h"
#include "shell/control.h"
#include "shell/page_params.h"

namespace tessomar::cli {

// Exit statuses: 0 done, 1 the operation failed, 2 bad usage or input.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

int cmd_devtime(const Args& args);
int cmd_run(const Args& args);
int cmd_info(const Args& args);
int cmd_setup(const Args& args);
int cmd_live(const Args& args);
int cmd_playback(const Args& args);
int cmd_keyform(const Args& args);
int cmd_calendar(const Args& args);
int cmd_backup(const Args& args);
int cmd_titles(const Args& args);
int cmd_noip(const Args& args);
int cmd_serve(const Args& args);

// What the No-IP wizard's fields get when it runs headless; an empty domain takes the first
// one offered.
struct NoipWizardInput {
  std::string username, email, password, firstname, lastname, postal_code, host, domain;
};
struct DvrOptions;
// Runs the No-IP wizard from the DVR's DDNS tab and applies the tab with the new account.
int noip_apply_to_dvr(const ddns::NoipConfig& config, const NoipWizardInput& input,
                      const DvrOptions& opts);

// Splits "a,b,c" into integers; false when any part is not one.
bool parse_int_list(const std::string& text, std::vector<int32_t>& out);

// Reports a usage error on stderr and returns kExitUsage.
int usage_error(const std::string& command, const std::string& message);
// The same for a wrong option, pointing at the command's --help.
int option_error(const std::string& command, const std::string& message);

// The control as the CLI hosts it: a poll loop on the real clock, the process environment,
// headless dialogs, a logger that TESSOMAR_LOG turns on, and the form's timers driven by the
// loop.
class HeadlessHost {
 public:
  HeadlessHost();
  ~HeadlessHost();

  // Creates the control, puts the parameters, runs ActiveFormCreate. Returns false with
  // messages on stderr when a parameter could not be put.
  bool start(const std::vector<shell::PageParam>& params);
  // The control's sound devices (before start); unset: silent ones.
  void set_sound_devices(platform::SoundDeviceFactory factory) {
    sound_devices_ = std::move(factory);
  }

  platform::PollEventLoop& loop() { return loop_; }
  shell::Control& control() { return *control_; }
  platform::HeadlessDialogs& dialogs() { return dialogs_; }

 private:
  platform::SystemClock clock_;
  platform::PollEventLoop loop_{clock_};
  platform::SystemEnvironment environment_;
  platform::Logger logger_;
  platform::HeadlessDialogs dialogs_{logger_};
  platform::SoundDeviceFactory sound_devices_;
  std::unique_ptr<shell::Control> control_;
  std::unique_ptr<platform::FormTimers> timers_;
};

// The connection options shared by the commands that talk to a DVR: --dvr HOST:PORT,
// --uk KEY, --page-number N and the page options below; --timeout SECONDS (default 10).
// main has already refused the options a command does not take (run takes no --timeout).
struct DvrOptions {
  std::vector<shell::PageParam> params;
  double timeout_s = 10;
};
bool take_dvr_options(Args& args, DvrOptions& out, std::string& error);

// Runs the loop until the device identity arrived on slot 0 (true) or the time-out or a
// refusal (false, with the reason).
bool wait_for_identity(HeadlessHost& host, double timeout_s, std::string& why);

// Collects --param NAME=VALUE and --page FILE|URL options (page first, then the options in
// order, so options override the page). Consumes them from args; false on error.
bool take_page_options(Args& args, std::vector<shell::PageParam>& params, std::string& error);

}  // namespace tessomar::cli
