// The control's key form: start-up, the first view chosen by the start page on the first
// identity, session recovery, the DVR's live view reports and the pointer over the video.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/icmd.h"
#include "channels/vask.h"
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
};

class ControlKeyFormTest : public ::testing::Test {
 protected:
  ControlKeyFormTest() {
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
        if (m.payload.size() < 12) continue;
        auto word = [&](size_t off) { return int32_t(platform::load_u32le(&m.payload[off])); };
        out.push_back({m.sub[2], int32_t(m.sub[3]), word(0), word(4), word(8)});
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

TEST_F(ControlKeyFormTest, StartupInitialisesTheKeyFormAndLogsAMissingSkin) {
  start();
  EXPECT_EQ(vars().ie_doing, 16);
  EXPECT_EQ(vars().ie_page, (std::array<int32_t, 4>{-1, -1, -1, -1}));
  EXPECT_EQ(control->key_form().context().last_drawn_slot, -2);
  EXPECT_TRUE(logs.has(platform::LogLevel::Warning, "TessomarKeyForm_02030202.YUV2"));
  EXPECT_FALSE(control->form()["Image_Trumpet_On"].visible());
  EXPECT_FALSE(control->form()["Image_Trumpet_Off"].visible());
  EXPECT_EQ(control->key_form().video_pointer().speaker_on().load(), keyform::kSpeakerOff);
  // The key-form services find nothing to draw and say nothing more about it.
  const size_t logged = logs.entries().size();
  for (int i = 0; i < 20; ++i) {
    clock.advance_ms(40);
    control->Timer1Timer();
  }
  EXPECT_EQ(logs.entries().size(), logged);
}

TEST_F(ControlKeyFormTest, FirstIdentityShowsTheStartPage) {
  struct Case {
    const char* page;
    uint32_t record_id;
    int32_t layout;
  } cases[] = {
      {"0", channels::kRecordLive, channels::kLayoutFourWay},
      {"2", channels::kRecordPlayback, channels::kLayoutSingle},
      {"1", channels::kRecordSetup, channels::kLayoutSingle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    control =
        std::make_unique<Control>(ControlServices{loop, clock, env, dialogs, guard, logs.logger()});
    start(c.page);
    sent_views();
    identity(kKey);
    std::vector<ViewSet> sent = sent_views();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().record_id, c.record_id);
    if (c.record_id == channels::kRecordLive) {
      // The four-way page from channel 0, not the widest split of the DVR.
      EXPECT_EQ(sent.back().layout, channels::kLayoutFourWay);
      EXPECT_EQ(sent.back().first, 0);
    }
    EXPECT_EQ(vars().ie_m_ch, 16);
  }
}

TEST_F(ControlKeyFormTest, IdentityOfANewSessionResumesTheUsersView) {
  start();
  identity(kKey);
  vars().ie_doing = vars().ie_ch = 5;
  control->key_form().state().update(false);
  ASSERT_EQ(sent_views().back().selected, 5);

  // The session was lost and a new one opened: its identity resumes channel 5.
  open_session(kKey + 1);
  sent_views();
  identity(kKey + 1);
  std::vector<ViewSet> sent = sent_views();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].record_id, channels::kRecordLive);
  EXPECT_EQ(sent[0].layout, channels::kLayoutSingle);
  EXPECT_EQ(sent[0].selected, 5);
  EXPECT_EQ(vars().ie_doing, 5);
}

TEST_F(ControlKeyFormTest, LiveViewReportsMoveTheKeysAndSendNothingBack) {
  start();
  identity(kKey);
  sent_views();
  std::array<uint8_t, channels::kViewImageSize> image{};
  platform::store_u32le(&image[channels::kLiveLayout], uint32_t(channels::kLayoutSixteenWay));
  deliver(channels::kTagIcmd,
          {kKey, channels::kOpReport, channels::kRecordLive, uint32_t(channels::kModeLive), 1},
          image);
  EXPECT_EQ(vars().ie_doing, 22);
  EXPECT_EQ(vars().ie_ch2, 6);
  EXPECT_TRUE(sent_views().empty());
}

TEST_F(ControlKeyFormTest, ClickOnTheVideoPictureSwitchesTheView) {
  start();
  identity(kKey);
  sent_views();
  platform::Event e;
  e.x = 600;
  e.y = 500;
  ASSERT_TRUE(control->form()["Image_Trumpet_BG"].fire("OnMouseDown", e));
  EXPECT_EQ(vars().ie_doing, 3);
  std::vector<ViewSet> sent = sent_views();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].layout, channels::kLayoutSingle);
  EXPECT_EQ(sent[0].selected, 3);
}

TEST_F(ControlKeyFormTest, SpeakerIconHidesTwoSecondsAfterTheLastMoveOnTheTick) {
  start();
  identity(kKey);
  vars().ie_doing = vars().ie_ch = 1;
  control->key_form().state().update(false);
  control->key_form().video_pointer().set_audio_present(true);
  platform::Event e;
  control->form()["Image_Trumpet_BG"].fire("OnMouseMove", e);
  clock.advance_ms(10);
  control->Timer1Timer();
  EXPECT_TRUE(control->form()["Image_Trumpet_Off"].visible());
  ASSERT_TRUE(control->form()["Image_Trumpet_Off"].fire("OnClick"));
  EXPECT_TRUE(control->form()["Image_Trumpet_On"].visible());
  EXPECT_EQ(control->key_form().video_pointer().speaker_on().load(), keyform::kSpeakerOn);
  clock.advance_ms(2001);
  control->Timer1Timer();
  EXPECT_FALSE(control->form()["Image_Trumpet_On"].visible());
}

}  // namespace
}  // namespace tessomar::shell
