// The control's Save key and its backup job: one press starts exactly one backup, a second
// stops it; a refused dialog leaves the key form idle.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/icmd.h"
#include "channels/vask.h"
#include "keyform/calendar.h"
#include "keyform/key_form_state.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "platform/variant.h"
#include "shell/control.h"
#include "support/log_capture.h"

namespace tessomar::shell {
namespace {

using channels::testing::decode_messages;
using channels::testing::encode_message;
using channels::testing::WireMessage;

constexpr uint32_t kKey = 0x0C0FFEE0;

struct ViewSet {
  uint32_t record_id;
  int32_t mode;
  int32_t layout;
  int32_t first;
  int32_t selected;
  int32_t word12;  // the backup state in a backup set
};

class ControlBackupTest : public ::testing::Test {
 protected:
  ControlBackupTest() {
    control =
        std::make_unique<Control>(ControlServices{loop, clock, env, dialogs, guard, logs.logger()});
  }

  void start(const char* page = "0") {
    control->properties().put(kDispidHTTP_PAGE, platform::Variant::from_string(page));
    control->ActiveFormCreate();
    open_session(kKey);
  }
  // A session on slot 0 as the tunnel leaves it once the key was accepted.
  void open_session(uint32_t key) {
    link::ConnectionSlot& s = control->link().slot(0);
    s.session_key = key;
    s.link_state = link::kEstablished;
    s.credential_a = "9";
  }
  void deliver(uint32_t tag, const std::array<uint32_t, 8>& sub, std::span<const uint8_t> payload) {
    std::vector<uint8_t> m = encode_message(tag, sub, payload);
    control->link().dispatch_messages(sub[0], m.data(), uint32_t(m.size()));
  }
  void identity(uint32_t key) {
    std::array<uint8_t, channels::kVaskPayloadSize> payload{};
    channels::VaskChannel::build_identity(payload);
    deliver(channels::kVaskTag, {key, channels::kVaskIdentity}, payload);
  }
  // The ICMD view sets queued on slot 0 since the last call.
  std::vector<ViewSet> sent_views() {
    std::vector<ViewSet> out;
    link::SendQueue& q = control->link().slot(0).send_queue;
    std::vector<uint8_t> batch(link::kMaxBatch);
    while (uint32_t n = link::take_batch(q)) {
      if (link::ring_read(q.ring, batch.data(), n) != 0) break;
      for (const WireMessage& m : decode_messages(std::span<const uint8_t>(batch.data(), n))) {
        if (m.tag != channels::kTagIcmd || m.sub[1] != channels::kOpSet) continue;
        if (m.payload.size() < 16) continue;
        auto word = [&](size_t off) { return int32_t(platform::load_u32le(&m.payload[off])); };
        out.push_back({m.sub[2], int32_t(m.sub[3]), word(0), word(4), word(8), word(12)});
      }
    }
    return out;
  }
  keyform::KeyFormVariables& vars() { return control->key_form().variables(); }

  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  testsupport::LogCapture logs;
  platform::HeadlessDialogs dialogs{logs.logger()};
  InstanceGuard guard{[](int) {}};
  std::unique_ptr<Control> control;
};

// The backup state of every ICMD set of record 1024 sent since the last call.
std::vector<int32_t> backup_sets(std::vector<ViewSet> views) {
  std::vector<int32_t> out;
  for (const ViewSet& v : views) {
    if (v.record_id == channels::kRecordBackup) out.push_back(v.word12);
  }
  return out;
}

TEST_F(ControlBackupTest, SaveKeyStartsExactlyOneBackupAndASecondPressStopsIt) {
  const auto dir = std::filesystem::temp_directory_path() / "control_backup_test";
  std::filesystem::create_directories(dir);
  start();
  identity(kKey);
  const uint32_t t0 = 700000000;
  vars().mon_b_f_t = keyform::as_var(t0);
  vars().mon_b_t_t = keyform::as_var(t0 + 600);
  sent_views();
  dialogs.script_file_answer((dir / "cam.mov").string());
  auto press_save = [this] {
    vars().ie_st = 1;
    control->key_form().state().update(false);
  };
  press_save();

  EXPECT_EQ(vars().ie_st2, keyform::kSaveRunning);
  EXPECT_EQ(vars().ie_st, 0);
  EXPECT_EQ(vars().ie_percentage, 0);
  EXPECT_EQ(control->key_form().context().input_level, keyform::kInputLevelBackup);
  EXPECT_EQ(control->backup().state(), recording::JobState::kStartFile);
  EXPECT_EQ(control->form()["Label1"].caption(), "cam.mov");
  // One start went to the DVR.
  EXPECT_EQ(backup_sets(sent_views()), std::vector<int32_t>{1});

  press_save();
  EXPECT_EQ(vars().ie_st2, keyform::kSaveIdle);
  EXPECT_EQ(control->key_form().context().input_level, 1);
  EXPECT_EQ(vars().ie_percentage, 100);
  // The job closes what it has and tells the DVR on its next steps.
  video::Viewer& viewer = control->viewers().viewer(0);
  for (int i = 0; i < 3; ++i) control->backup().serviceBackup(viewer);
  EXPECT_EQ(control->backup().state(), recording::JobState::kIdle);
  EXPECT_EQ(backup_sets(sent_views()), std::vector<int32_t>{0});
  EXPECT_EQ(vars().ie_st2, keyform::kSaveIdle);
  std::filesystem::remove_all(dir);
}

TEST_F(ControlBackupTest, CancelledSaveDialogLeavesTheKeyFormIdle) {
  start();
  identity(kKey);
  vars().mon_b_f_t = keyform::as_var(700000000);
  vars().mon_b_t_t = keyform::as_var(700000600);
  sent_views();
  dialogs.script_file_answer(std::nullopt);
  vars().ie_st = 1;
  control->key_form().state().update(false);
  EXPECT_EQ(vars().ie_st2, keyform::kSaveIdle);
  EXPECT_EQ(vars().ie_percentage, 100);
  EXPECT_EQ(control->key_form().context().input_level, 1);
  EXPECT_EQ(backup_sets(sent_views()), std::vector<int32_t>{0});
  EXPECT_EQ(control->backup().state(), recording::JobState::kIdle);
}

}  // namespace
}  // namespace tessomar::shell
