// The No-IP wizard's window follows its form: shown when the DDNS tab opens the wizard, hidden
// by OK, and closing the window is the form's close, which stops the poll timer.
#include "noip_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/log.h"
#include "qt_event_loop.h"

namespace tessomar::viewer {
namespace {

TEST(NoipDialog, FollowsTheWizardForm) {
  platform::SystemClock clock;
  QtEventLoop loop(clock);
  platform::Logger logger;
  platform::HeadlessDialogs dialogs(logger);
  ddns::NoipClient client(dialogs, logger, ddns::NoipConfig{}, [] { return int64_t(0); });
  ddns::NoipWizard wizard(client, loop, dialogs, logger);
  NoipDialog dialog(wizard);
  EXPECT_FALSE(dialog.isVisible());

  wizard.show();
  ASSERT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.windowTitle(), "No-IP Setting");
  EXPECT_EQ(dialog.size(), QSize(ddns::kWizardWidth, ddns::kWizardHeight));
  FormBinder& b = dialog.binder();
  EXPECT_TRUE(b.widget("Panel2")->isVisible());
  EXPECT_FALSE(b.widget("Panel3")->isVisible());
  EXPECT_TRUE(b.widget("Panel1")->isVisible());
  for (const auto& [name, text] :
       {std::pair{"Label_step1", "Create Account"}, std::pair{"Label_step2", "Add Host"},
        std::pair{"Label_step3", "Finish"}}) {
    auto* label = qobject_cast<QLabel*>(b.widget(name));
    ASSERT_NE(label, nullptr) << name;
    EXPECT_EQ(label->text(), text);
  }
  EXPECT_FALSE(qobject_cast<QPushButton*>(b.widget("Create"))->isEnabled());

  dialog.close();
  EXPECT_FALSE(wizard.showing());
  EXPECT_FALSE(wizard.form()["Timer3"].enabled());

  wizard.show();
  EXPECT_TRUE(dialog.isVisible());
  qobject_cast<QPushButton*>(b.widget("Button3"))->click();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(wizard.showing());
}

}  // namespace
}  // namespace tessomar::viewer
