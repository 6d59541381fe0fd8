#include "shell/control.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "support/log_capture.h"

namespace tessomar::shell {
namespace {

namespace fs = std::filesystem;

struct ControlFixture : ::testing::Test {
  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  testsupport::LogCapture logs;
  platform::HeadlessDialogs dialogs{logs.logger()};
  std::vector<int> exits;
  InstanceGuard guard{[this](int status) { exits.push_back(status); }};

  std::unique_ptr<Control> make() {
    return std::make_unique<Control>(
        ControlServices{loop, clock, env, dialogs, guard, logs.logger()});
  }
  // One tick after the clock moved by ms.
  void tick(Control& c, uint32_t ms) {
    clock.advance_ms(ms);
    c.Timer1Timer();
  }
};

TEST_F(ControlFixture, StartupShowsStatusVersionAndEnablesTimer) {
  auto c = make();
  EXPECT_FALSE(c->form()["Timer1"].enabled());
  c->ActiveFormCreate();
  EXPECT_TRUE(c->started());
  EXPECT_EQ(c->form()["Label_time"].caption(), "Connecting ...");
  EXPECT_EQ(c->form()["Label_Version"].caption(), "Ver.030202");
  EXPECT_TRUE(c->form()["Timer1"].enabled());
  EXPECT_EQ(c->form()["Timer1"].interval_ms(), 10);
  EXPECT_FALSE(c->form()["Timer2"].enabled());
  // The video picture is the image's own size and takes no input.
  EXPECT_EQ(c->form()["Image_video"].picture().width(), 704);
  EXPECT_EQ(c->form()["Image_video"].picture().height(), 576);
  EXPECT_FALSE(c->form()["Image_video"].enabled());
  // Socket tags: bit 0 is the slot, the rest the socket index.
  for (int slot = 0; slot < 2; ++slot)
    for (int s = 0; s < 2; ++s) EXPECT_EQ(c->socket(slot, s).tag(), s * 2 + slot);
}

TEST_F(ControlFixture, SecondStartupEndsTheProcessEvenAfterTheFirstControlIsGone) {
  make()->ActiveFormCreate();
  EXPECT_TRUE(exits.empty());
  make()->ActiveFormCreate();
  EXPECT_EQ(exits, std::vector<int>{1});
  EXPECT_EQ(guard.instance_count(), 1);
}

TEST(InstanceGuardDeathTest, ProcessGuardExitsWithStatusOne) {
  EXPECT_EXIT(
      {
        InstanceGuard::process().enter();
        InstanceGuard::process().enter();
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "");
}

TEST_F(ControlFixture, SkinFolderPrefersSysWow64WhenItOpens) {
  fs::path root = fs::temp_directory_path() / ("tessomar_root_" + std::to_string(::getpid()));
  fs::create_directories(root);
  env.set("systemroot", root.string());
  {
    auto c = make();
    c->control_startup();
    EXPECT_EQ(c->skin_folder(), root.string() + "/system32");
  }
  fs::create_directories(root / "SysWOW64");
  InstanceGuard fresh{[](int) {}};
  Control c2(ControlServices{loop, clock, env, dialogs, fresh, logs.logger()});
  c2.control_startup();
  EXPECT_EQ(c2.skin_folder(), root.string() + "/SysWOW64");
  fs::remove_all(root);
}

TEST_F(ControlFixture, MissingSystemRootGivesTheBareSystem32Form) {
  auto c = make();
  c->control_startup();
  EXPECT_EQ(c->skin_folder(), "/system32");
}

TEST_F(ControlFixture, MainFormPictureIsLoadedFromTheSkinFolder) {
  fs::path root = fs::temp_directory_path() / ("tessomar_bmp_" + std::to_string(::getpid()));
  fs::create_directories(root / "system32");
  env.set("systemroot", root.string());
  // A 2x1 24-bit bitmap: red then blue (pixels are stored blue, green, red).
  const uint8_t bmp[] = {'B', 'M', 62, 0, 0, 0, 0, 0,  0, 0, 54, 0, 0, 0, 40,  0,   0, 0, 2, 0, 0,
                         0,   1,   0,  0, 0, 1, 0, 24, 0, 0, 0,  0, 0, 8, 0,   0,   0, 0, 0, 0, 0,
                         0,   0,   0,  0, 0, 0, 0, 0,  0, 0, 0,  0, 0, 0, 255, 255, 0, 0, 0, 0};
  std::ofstream(root / "system32" / "TessomarMainForm_02030202.bmp", std::ios::binary)
      .write(reinterpret_cast<const char*>(bmp), sizeof bmp);
  auto c = make();
  c->control_startup();
  const auto& pic = c->form()["Image3"].picture();
  ASSERT_EQ(pic.width(), 2);
  EXPECT_EQ(pic.pixel(0, 0), 0xFF0000u);
  EXPECT_EQ(pic.pixel(1, 0), 0x0000FFu);
  EXPECT_FALSE(logs.has(platform::LogLevel::Warning, "main-form picture"));
  fs::remove_all(root);
}

TEST_F(ControlFixture, UnreadableMainFormPictureKeepsTheBackgroundAndWarns) {
  fs::path root = fs::temp_directory_path() / ("tessomar_badbmp_" + std::to_string(::getpid()));
  fs::create_directories(root / "system32");
  env.set("systemroot", root.string());
  std::ofstream(root / "system32" / "TessomarMainForm_02030202.bmp") << "BM not a bitmap";
  auto c = make();
  c->control_startup();
  EXPECT_TRUE(c->started());
  EXPECT_EQ(c->form()["Image3"].picture().width(), 0);
  EXPECT_TRUE(logs.has(platform::LogLevel::Warning, "main-form picture: "));
  fs::remove_all(root);
}

TEST_F(ControlFixture, TickClockIsMillisecondsTimesHundredSinceStartup) {
  clock.set_ms(5000);
  auto c = make();
  c->ActiveFormCreate();
  EXPECT_EQ(c->tick_clock(), 0u);
  clock.advance_ms(1234);
  EXPECT_EQ(c->tick_clock(), 123400u);
  // 2^32 / 100 ms later the value has wrapped modulo 2^32.
  clock.advance_ms(42949673);
  EXPECT_EQ(c->tick_clock(), uint32_t((1234ull + 42949673ull) * 100ull));
}

TEST_F(ControlFixture, GroupsWaitTheirIntervalAfterStartup) {
  auto c = make();
  int hooked_33ms = 0, hooked_300ms = 0, after_viewers = 0;
  c->tick_hooks().every_33ms = [&] { ++hooked_33ms; };
  c->tick_hooks().every_300ms = [&] { ++hooked_300ms; };
  c->tick_hooks().after_viewers = [&] { ++after_viewers; };
  c->ActiveFormCreate();
  tick(*c, 33);  // exactly 3300 units: not more than the threshold
  EXPECT_EQ(c->tick_group_runs().every_33ms, 0u);
  EXPECT_EQ(hooked_33ms, 0);
  EXPECT_GT(after_viewers, 0);
  tick(*c, 1);
  EXPECT_EQ(c->tick_group_runs().every_33ms, 1u);
  EXPECT_EQ(hooked_33ms, 1);
  EXPECT_EQ(c->tick_group_runs().every_300ms, 0u);
  tick(*c, 267);  // 301 ms
  EXPECT_EQ(c->tick_group_runs().every_300ms, 1u);
  EXPECT_EQ(hooked_300ms, 1);
  EXPECT_EQ(c->tick_group_runs().every_1s, 0u);
  tick(*c, 700);  // 1001 ms
  EXPECT_EQ(c->tick_group_runs().every_1s, 1u);
}

TEST_F(ControlFixture, SlowTickRunsA33msGroupOnceNotTwice) {
  auto c = make();
  c->ActiveFormCreate();
  tick(*c, 40);
  uint32_t before = c->tick_group_runs().every_33ms;
  tick(*c, 50);
  EXPECT_EQ(c->tick_group_runs().every_33ms, before + 1);
  // Measured from when it last ran: 10 ms later it does not run again.
  tick(*c, 10);
  EXPECT_EQ(c->tick_group_runs().every_33ms, before + 1);
}

TEST_F(ControlFixture, IntervalsSurviveTheClockWrap) {
  auto c = make();
  c->ActiveFormCreate();
  // Walk to just before the wrap of the tick clock (2^32 units = 42949672.96 ms).
  tick(*c, 42949600);
  uint32_t runs = c->tick_group_runs().every_1s;
  tick(*c, 500);  // wraps: the clock reads a small value now
  EXPECT_LT(c->tick_clock(), 100000u);
  EXPECT_EQ(c->tick_group_runs().every_1s, runs);  // only 0.5 s passed
  tick(*c, 501);
  EXPECT_EQ(c->tick_group_runs().every_1s, runs + 1);
}

TEST_F(ControlFixture, TimerIsOffDuringItsOwnTickAndOnAfterwards) {
  auto c = make();
  c->ActiveFormCreate();
  std::vector<bool> seen;
  c->form().add_observer([&](platform::Component& comp, platform::Property p) {
    if (comp.name() == "Timer1" && p == platform::Property::Enabled) seen.push_back(comp.enabled());
  });
  c->Timer1Timer();
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));
}

TEST_F(ControlFixture, TimerDrivenByTheLoopTicks) {
  auto c = make();
  c->ActiveFormCreate();
  platform::FormTimers timers(c->form(), loop);
  // The loop fires Timer1 each time 10 ms have passed since it was (re-)enabled.
  for (int i = 0; i < 50; ++i) {
    clock.advance_ms(10);
    loop.run_once(0);
  }
  EXPECT_EQ(c->tick_group_runs().every_300ms, 1u);
  EXPECT_GE(c->tick_group_runs().every_33ms, 10u);
}

TEST_F(ControlFixture, UnloadQueryAnswersByObjectsHeld) {
  auto c = make();
  EXPECT_TRUE(c->unload_query(false));
  EXPECT_FALSE(c->unload_query(true));
}

}  // namespace
}  // namespace tessomar::shell
