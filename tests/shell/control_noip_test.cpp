// The control's side of the No-IP wizard: the DDNS tab's link opens it, its OK lands in the
// DDNS tab's edits and the tab's Apply at once, and the environment points it at a service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "shell/control.h"
#include "support/log_capture.h"

namespace tessomar::shell {
namespace {

struct Host {
  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  testsupport::LogCapture logs;
  platform::HeadlessDialogs dialogs{logs.logger()};
  InstanceGuard guard{[](int) {}};
  std::unique_ptr<Control> control;

  explicit Host(std::map<std::string, std::string, std::less<>> vars = {}) : env(std::move(vars)) {
    control =
        std::make_unique<Control>(ControlServices{loop, clock, env, dialogs, guard, logs.logger()});
  }
};

std::string field(const std::array<uint8_t, channels::kDdnsSize>& image, size_t at) {
  return std::string(reinterpret_cast<const char*>(&image[at]));
}

TEST(ControlNoip, OkFillsTheDdnsTabAndAppliesIt) {
  Host host;
  Control& control = *host.control;
  control.setup().hooks().open_noip_wizard();  // the DDNS tab's Create Account with No-IP
  ddns::NoipWizard& wizard = control.noip_wizard();
  ASSERT_TRUE(wizard.showing());
  EXPECT_EQ(&wizard, &control.noip_wizard()) << "created once";

  wizard.hooks().finish("camuser", "pw123456", "cam.hopto.org");
  platform::Form& form = control.form();
  EXPECT_EQ(form["LabeledEdit_ddns2"].caption(), "camuser");
  EXPECT_EQ(form["LabeledEdit_ddns3"].caption(), "pw123456");
  EXPECT_EQ(form["LabeledEdit_ddns4"].caption(), "cam.hopto.org");
  // Applied: the DDNS image holds the account and waits for the DVR's confirmation.
  const channels::SessionState& s = control.icmd().session(0);
  EXPECT_NE(s.pendingSetup & channels::kSetupDdns, 0u);
  EXPECT_EQ(field(s.ddns, 4), "camuser");
  EXPECT_EQ(field(s.ddns, 36), "pw123456");
  EXPECT_EQ(field(s.ddns, 68), "cam.hopto.org");
}

TEST(ControlNoip, EnvironmentPointsTheWizardAtAService) {
  struct Case {
    const char* value;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:18080", "127.0.0.1", 18080},
      {"stand-in.example", "stand-in.example", 80},
      {"127.0.0.1:99999", "api.noip.com", 80},  // refused: logged, the default kept
  };
  for (const Case& k : cases) {
    Host host(
        std::map<std::string, std::string, std::less<>>{{ddns::kNoipServiceVariable, k.value}});
    EXPECT_EQ(host.control->noip_config().host, k.host) << k.value;
    EXPECT_EQ(host.control->noip_config().port, k.port) << k.value;
    EXPECT_EQ(host.control->noip_wizard().client().config().host, k.host) << k.value;
  }
}

}  // namespace
}  // namespace tessomar::shell
