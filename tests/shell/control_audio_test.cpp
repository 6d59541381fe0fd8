#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "channels/session_state.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "platform/sound.h"
#include "shell/control.h"
#include "support/log_capture.h"

namespace tessomar::shell {
namespace {

struct ControlAudioFixture : ::testing::Test {
  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  testsupport::LogCapture logs;
  platform::HeadlessDialogs dialogs{logs.logger()};
  InstanceGuard guard{[](int) {}};
  std::atomic<int> devices_made{0};

  std::unique_ptr<Control> make() {
    ControlServices services{loop, clock, env, dialogs, guard, logs.logger()};
    services.sound_devices = [this]() -> std::unique_ptr<platform::SoundDevice> {
      ++devices_made;
      return std::make_unique<platform::NullSoundDevice>(clock);
    };
    return std::make_unique<Control>(services);
  }
};

TEST_F(ControlAudioFixture, StartupRunsTheAudioThreadAndTheUnloadQueryEndsIt) {
  auto c = make();
  EXPECT_FALSE(c->audio().thread_running());
  c->ActiveFormCreate();
  EXPECT_TRUE(c->audio().thread_running());
  EXPECT_EQ(c->audio().view().mode, channels::kModeLive);
  EXPECT_TRUE(c->audio().view().session);

  EXPECT_FALSE(c->unload_query(true));  // the output stops whatever the answer
  EXPECT_FALSE(c->audio().thread_running());
  EXPECT_FALSE(c->audio().has_device());
  EXPECT_TRUE(c->unload_query(false));
  EXPECT_EQ(devices_made.load(), 0);  // no audio arrived: no device was needed
}

TEST_F(ControlAudioFixture, ViewCommandClearsTheChannelAndPublishesTheNewView) {
  auto c = make();
  c->ActiveFormCreate();
  EXPECT_EQ(c->audio().channel(), 0);
  c->modes().ApplyViewCommand(0, 16, channels::kModePlayback, 0, 1, true);
  EXPECT_EQ(c->audio().channel(), -1);
  EXPECT_EQ(c->audio().view().mode, channels::kModePlayback);
  EXPECT_EQ(c->audio().view().playbackChannel, 1u);
}

}  // namespace
}  // namespace tessomar::shell
