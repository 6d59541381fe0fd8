#include "video/viewer.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/session_state.h"
#include "channels/vask.h"
#include "link/ring.h"
#include "platform/bytes.h"
#include "platform/devtime.h"
#include "video/convert.h"
#include "video/decoder.h"
#include "video/frame_record.h"
#include "video/parameter_sets.h"
#include "video/test_streams.h"
#include "video/viewer_test_peer.h"

namespace tessomar::video {
namespace {

using channels::kModeBackup;
using channels::kModeLive;
using channels::kModePlayback;
using channels::kModeSetup;
using platform::load_u32le;
using platform::store_u32le;
using Bytes = std::vector<uint8_t>;

// One frame record as the VIDO channel queues it.
struct Frame {
  uint32_t channel = 0;
  uint32_t seq = 0;  // 0: the next of the channel
  uint32_t frameId = 1;
  uint32_t requestCounter = 0;
  uint32_t interval = 0;  // frameInterval (ms)
  uint32_t rate = 0;      // frame rate code; 0 counts as 200
  uint32_t seconds = 100;
  uint32_t frameInSecond = 0;
  bool key = true;
  uint32_t streamKind = kStreamLive;
  uint32_t camera = 0;
  uint32_t time = 500000000;
  uint8_t frameNumber = 0;
  uint32_t offset = 0;
  uint8_t widthMbs = 44;
  uint8_t heightMbs = 36;
  bool interlaced = false;
  Bytes payload = {0, 0, 0, 2, 0x65, 0x88};
  int lengthUnits = -1;      // -1: header plus payload, rounded up to 64 bytes
  uint32_t totalLength = 0;  // 0: the real length
};

Bytes picture_header(const Frame& f) {
  Bytes p(kPictureHeaderSize, 0);
  store_u32le(&p[0], kPictureMagic);
  store_u32le(&p[4], f.time);
  p[8] = f.frameNumber;
  p[11] = uint8_t(kContentVideo << 6);
  p[12] = f.heightMbs;
  p[13] = f.widthMbs;
  p[14] = uint8_t(f.camera << 4 | (f.interlaced ? 1 << 2 : 0));
  p[15] = uint8_t(f.key ? 0 : 1 << 4);
  const uint32_t units = f.lengthUnits >= 0
                             ? uint32_t(f.lengthUnits)
                             : uint32_t((kPictureHeaderSize + f.payload.size() + 63) / 64);
  p[18] = uint8_t(units);
  p[19] = uint8_t(units >> 8);
  p[23] = uint8_t(f.streamKind << 5);
  store_u32le(&p[24], f.rate << 5);
  store_u32le(&p[28], f.offset);
  return p;
}

Bytes frame_record(const Frame& f) {
  Bytes r(kFrameRecordHeaderSize, 0);
  const Bytes p = picture_header(f);
  r.insert(r.end(), p.begin(), p.end());
  r.insert(r.end(), f.payload.begin(), f.payload.end());
  store_u32le(&r[0], f.totalLength ? f.totalLength : uint32_t(r.size()));
  store_u32le(&r[8], f.interval);
  store_u32le(&r[12], f.seq);
  store_u32le(&r[20], f.channel);
  store_u32le(&r[24], f.frameId);
  store_u32le(&r[36], f.seconds);
  store_u32le(&r[40], f.frameInSecond);
  store_u32le(&r[52], f.requestCounter);
  return r;
}

Bytes parameter_sets(int w, int h) {
  Bytes b(kMaxParameterSetBytes);
  b.resize(size_t(buildParameterSets(w, h, kDecoderForm, b.data())));
  return b;
}

struct Decoded {
  int index;
  Bytes unit;
};

class ViewerTest : public channels::testing::ChannelFixture {
 protected:
  ViewerTest() : viewers(clock, link) {
    channels::init_session_state(session, 0);
    device.video_standard = 1;  // PAL
    device.generation = 2;
    feedback.words[kFeedbackCredit] = kInitialCredit;
    viewers.bind(0, &session, &device, &feedback);
    DecoderPort port;
    port.decode = [this](int index, const uint8_t* data, uint32_t size) {
      decodes.push_back({index, Bytes(data, data + size)});
      clock.advance_ms(decode_ms);
      DecodedPicture picture;
      picture.width = 704;
      picture.height = 576;
      viewers.present_decoded(index, picture);
      return 1;
    };
    port.key_frame_queued = [this](int) { ++key_frames_announced; };
    port.take_damaged = [this](int) {
      const bool d = damage_next;
      damage_next = false;
      return d;
    };
    viewers.set_decoder(port);
    viewers.hooks().playback_time_changed = [this](int, uint32_t t) {
      playback_times.push_back(t);
    };
    link.slot(0).host = "dvr";
    link.slot(0).port = 80;
    viewers.bind_outputs(0, &form["Image_video"], &form["Label_time"]);
  }

  Viewer& viewer() { return viewers.viewer(0); }
  uint32_t fb(int word) { return feedback.words[word]; }

  void push(Frame f) {
    if (f.seq == 0) f.seq = ++next_seq[f.channel];
    next_seq[f.channel] = f.seq;
    const Bytes r = frame_record(f);
    ASSERT_EQ(viewer().queue_video(r.data(), uint32_t(r.size())), 0);
  }
  // Ticks until the ring is empty and nothing waits (or the limit).
  void run(int ticks = 50) {
    for (int i = 0; i < ticks; ++i) {
      viewers.serviceViewers();
      const link::ByteRing& r = viewer().videoRing();
      if (r.read_pos == r.write_pos && viewer().pending() == 0) return;
    }
  }
  // The last payload byte of each decoded unit: the frames below carry their id there.
  std::vector<uint32_t> decoded_ids() {
    std::vector<uint32_t> ids;
    for (const Decoded& d : decodes) ids.push_back(d.unit.empty() ? 0 : d.unit.back());
    return ids;
  }
  static Bytes tagged(uint32_t id) { return {0, 0, 0, 2, 0x65, uint8_t(id)}; }
  void restart_channels() {
    viewer().flushViewer(0);
    decodes.clear();
  }

  channels::SessionState session;
  channels::DeviceIdentity device;
  ViewerFeedback feedback;
  Viewers viewers;
  std::map<uint32_t, uint32_t> next_seq;
  std::vector<Decoded> decodes;
  uint32_t decode_ms = 0;
  int key_frames_announced = 0;
  bool damage_next = false;
  std::vector<uint32_t> playback_times;
};

TEST_F(ViewerTest, DecodesExactlyTheBytesItRead) {
  // The header's length field claims 3 x 64 bytes; only 32 + 100 belong to the block.
  Frame key{.frameId = 1, .payload = Bytes(100, 0xAA), .lengthUnits = 3};
  key.payload[99] = 0x5C;
  push(key);
  run();
  ASSERT_EQ(decodes.size(), 1u);
  Bytes expected = parameter_sets(44, 36);
  expected.insert(expected.end(), key.payload.begin(), key.payload.end());
  EXPECT_EQ(decodes[0].unit, expected);
  EXPECT_EQ(key_frames_announced, 1);

  // A big frame, then a small one: nothing of the big one reaches the decoder again.
  push({.frameId = 2, .key = false, .payload = Bytes(3000, 0x11)});
  push({.frameId = 3, .key = false, .payload = Bytes(40, 0x22), .lengthUnits = 50});
  run();
  ASSERT_EQ(decodes.size(), 3u);
  EXPECT_EQ(decodes[2].unit, Bytes(40, 0x22));
  EXPECT_EQ(key_frames_announced, 1);
}

TEST_F(ViewerTest, LiveViewCatchesUpByItsLag) {
  struct Case {
    uint32_t video_standard;
    bool fast;
    uint32_t lag_frames;
    uint32_t advance_ms;
  };
  const Case cases[] = {
      {1, false, 0, 1000}, {1, false, 25, 1000},  // up to one second of lag is fine
      {1, false, 26, 990}, {1, false, 50, 980},   // 2 s behind at 25 fps: 98 %
      {1, false, 2999, 0}, {1, false, 3000, 0},
      {1, false, 5000, 0}, {0, false, 60, 980},  // 30 fps
      {1, true, 50, 931},                        // fast pacing: 95 % of that
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "lag " << c.lag_frames << " fast " << c.fast);
    device.video_standard = c.video_standard;
    viewers.set_fast_live_pacing(c.fast);
    restart_channels();
    const uint32_t fps = c.video_standard ? 25 : 30;
    // frameInterval and the rate code both say 1000 ms.
    push({.frameId = 1, .interval = 1000, .rate = 20});
    EXPECT_EQ(viewer().videoStep(), 1);
    ASSERT_EQ(decodes.size(), 1u);
    viewer().note_newest(0, 100 + c.lag_frames / fps, c.lag_frames % fps);
    push({.frameId = 2, .interval = 1000, .rate = 20, .seconds = 100, .key = false});
    viewer().videoStep();
    EXPECT_EQ(viewer().clock(0).due - viewer().clock_reading(0), c.advance_ms);
  }
}

TEST_F(ViewerTest, SequenceGapDropsPredictedFramesUntilTheNextKeyFrame) {
  push({.seq = 1, .frameId = 1, .payload = tagged(1)});
  push({.seq = 2, .frameId = 2, .key = false, .payload = tagged(2)});
  push({.seq = 4, .frameId = 4, .key = false, .payload = tagged(4)});
  run();
  EXPECT_EQ(fb(kFeedbackFrameId), 4u);  // dropped frames are acknowledged
  push({.seq = 5, .frameId = 5, .key = false, .payload = tagged(5)});
  push({.seq = 6, .frameId = 6, .payload = tagged(6)});
  push({.seq = 7, .frameId = 7, .key = false, .payload = tagged(7)});
  run();
  EXPECT_EQ(decoded_ids(), (std::vector<uint32_t>{1, 2, 6, 7}));
  EXPECT_EQ(fb(kFeedbackSequence + 0), 7u);
  EXPECT_EQ(viewer().stats().dropped_by_reason[size_t(DropReason::AwaitingKeyFrame)], 2u);
}

TEST_F(ViewerTest, RequestCounterZeroMatchesAnyOtherMustBeCurrent) {
  session.sendSequence = 7;
  const std::pair<uint32_t, bool> cases[] = {{0, true}, {7, true}, {6, false}, {8, false}};
  for (auto [counter, accepted] : cases) {
    SCOPED_TRACE(counter);
    restart_channels();
    push({.frameId = 40 + counter, .requestCounter = counter});
    run();
    EXPECT_EQ(decodes.size(), accepted ? 1u : 0u);
    EXPECT_EQ(fb(kFeedbackFrameId), 40 + counter);
  }
}

TEST_F(ViewerTest, ModeDecidesWhichStreamsAndChannelsAreShown) {
  struct Case {
    const char* name;
    int32_t mode;
    uint32_t channel;
    uint32_t kind;
    uint32_t camera;
    bool accepted;
  };
  const Case cases[] = {
      {"composite in live", kModeLive, 16, kStreamLive, 0, true},
      {"composite in playback", kModePlayback, 16, kStreamRecorded, 3, false},
      {"recorded stream in live", kModeLive, 0, kStreamRecorded, 0, false},
      {"live stream in playback", kModePlayback, 3, kStreamLive, 3, false},
      {"selected camera in playback", kModePlayback, 3, kStreamRecorded, 3, true},
      {"other camera in playback", kModePlayback, 3, kStreamRecorded, 2, false},
      {"live stream in setup", kModeSetup, 0, kStreamLive, 0, false},
      {"recorded stream in setup", kModeSetup, 0, kStreamRecorded, 0, false},
  };
  store_u32le(session.playback.data() + channels::kPlaybackChannel, 3);
  uint32_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session.mode = c.mode;
    restart_channels();
    push({.channel = c.channel, .frameId = ++id, .streamKind = c.kind, .camera = c.camera});
    run();
    EXPECT_EQ(decodes.size(), c.accepted ? 1u : 0u);
    EXPECT_EQ(fb(kFeedbackFrameId), id);
  }
}

TEST_F(ViewerTest, PlaybackHoldsFuturePicturesLiveDoesNotBelieveTenSeconds) {
  struct Case {
    const char* name;
    int32_t mode;
    uint32_t channel;
    uint32_t interval_ms;  // of the second frame
    uint32_t shown_after_ms;
  };
  const Case cases[] = {
      {"playback 20 s ahead is held", kModePlayback, 0, 20000, 20000 - 66},
      {"live 9 s ahead is held", kModeLive, 0, 9000, 9000 - 66},
      {"live 10 s ahead is shown at once", kModeLive, 0, 10000, 0},
      {"live 20 s ahead is shown at once", kModeLive, 0, 20000, 0},
      {"composite is never held", kModeLive, 16, 9000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session.mode = c.mode;
    const uint32_t kind = c.mode == kModeLive ? kStreamLive : kStreamRecorded;
    restart_channels();
    push({.channel = c.channel, .frameId = 1, .interval = 0, .streamKind = kind});
    run();
    ASSERT_EQ(decodes.size(), 1u);
    push({.channel = c.channel,
          .frameId = 2,
          .interval = c.interval_ms,
          .rate = 20000 / c.interval_ms,
          .key = false,
          .streamKind = kind});
    viewers.serviceViewers();
    if (c.shown_after_ms > 0) {
      clock.advance_ms(c.shown_after_ms - 1);
      viewers.serviceViewers();
      EXPECT_EQ(decodes.size(), 1u);
      clock.advance_ms(1);
      viewers.serviceViewers();
    }
    EXPECT_EQ(decodes.size(), 2u);
  }
}

TEST_F(ViewerTest, FlipFloppingTimeOffsetIsDroppedUntilTheNextResync) {
  struct Case {
    const char* name;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> used;
  };
  const Case cases[] = {
      {"alternating", {3600, 0, 3600, 0, 3600, 0}, {3600, 0, 3600, 0, 0, 0}},
      {"one real change stays", {0, 3600, 3600, 3600, 3600}, {0, 3600, 3600, 3600, 3600}},
      {"changes that settle in between", {0, 60, 60, 0, 0, 60}, {0, 60, 60, 0, 0, 60}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart_channels();
    for (size_t i = 0; i < c.offsets.size(); ++i) {
      push({.frameId = uint32_t(i + 1), .key = i == 0, .time = 1000, .offset = c.offsets[i]});
      run();
      EXPECT_EQ(viewer().displayOffset(), c.used[i]) << "frame " << i;
      EXPECT_EQ(viewer().displayTime(), 1000 + c.used[i]) << "frame " << i;
    }
  }
  // A resync of the channel lifts the block.
  viewer().flushViewer(1);
  push({.frameId = 50, .offset = 3600});
  run();
  EXPECT_EQ(viewer().displayOffset(), 3600u);
}

TEST_F(ViewerTest, FlushResetsTheChannelsItNames) {
  struct Case {
    uint32_t n;
    std::set<uint32_t> reset;
  };
  std::set<uint32_t> all;
  for (uint32_t c = 0; c < kChannelClocks; ++c) all.insert(c);
  const Case cases[] = {{0, all}, {1, {0}}, {5, {4}}, {17, {16}}, {18, {0}}, {1000, {0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    viewer().retimeChannels();  // every epoch to now
    for (uint32_t ch = 0; ch < kChannelClocks; ++ch) {
      ViewerTestPeer::clock(viewer(), ch).resync = 0;
      ViewerTestPeer::clock(viewer(), ch).due = 500;
      feedback.words[ViewerFeedback::cost_word(ch)] = 99;
    }
    push({.frameId = 1});
    ViewerTestPeer::set_pending(viewer(), 77);
    clock.advance_ms(1000);
    viewer().flushViewer(c.n);
    EXPECT_EQ(viewer().pending(), 0u);
    EXPECT_EQ(viewer().videoRing().read_pos, viewer().videoRing().write_pos);
    for (uint32_t ch = 0; ch < kChannelClocks; ++ch) {
      const bool reset = c.reset.count(ch) > 0;
      SCOPED_TRACE(ch);
      EXPECT_EQ(viewer().clock(ch).resync, reset ? 1u : 0u);
      EXPECT_EQ(viewer().clock(ch).due, reset ? 0u : 500u);
      EXPECT_EQ(fb(ViewerFeedback::cost_word(ch)), reset ? 0u : 99u);
      EXPECT_EQ(viewer().clock_reading(ch), reset ? 0u : 1000u);
    }
    EXPECT_EQ(fb(kFeedbackCredit), 3984588u - kCreditReserve);
  }
}

TEST_F(ViewerTest, TimeLabelHidesAtResyncAndShowsTheTimeAgainAfterTheFourthFrame) {
  platform::LocalDateTime d{2024, 5, 6, 7, 8, 9};
  const uint32_t t = platform::seconds_from_date(d);
  platform::Component& label = form["Label_time"];
  ASSERT_TRUE(label.visible());
  for (int i = 1; i <= 5; ++i) {
    push({.frameId = uint32_t(i), .key = i == 1, .time = t, .frameNumber = uint8_t(i)});
    run();
    EXPECT_EQ(label.visible(), i >= 4) << "after frame " << i;
  }
  EXPECT_EQ(label.caption(), "2024/05/06 07:08:09");
  EXPECT_EQ(viewer().clock(0).resyncTime.load(), t);
  EXPECT_EQ(viewer().clock(0).resyncFrame.load(), 1u);
  // Shown position of channel 0 at 25 fps: (t & 0xFFFFFF) x 25 + frame number.
  EXPECT_EQ(viewer().clock(0).shownPosition.load(), (t & 0xFFFFFF) * 25 + 5);
}

TEST_F(ViewerTest, DamagedPictureSendsItsChannelBackToResync) {
  damage_next = true;
  push({.frameId = 1, .payload = tagged(1)});
  push({.frameId = 2, .key = false, .payload = tagged(2)});
  push({.frameId = 3, .payload = tagged(3)});
  run();
  EXPECT_EQ(decoded_ids(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(viewer().stats().damaged, 1u);
}

TEST_F(ViewerTest, PresentationCostIsSmoothedIntoTheFeedback) {
  const std::pair<uint32_t, uint32_t> steps[] = {{20, 14}, {20, 18}, {0, 15}};
  bool first = true;
  for (auto [ms, word] : steps) {
    decode_ms = ms;
    push({.frameId = 9, .key = first});
    first = false;
    run();
    EXPECT_EQ(fb(kFeedbackCost + 0), word) << "decode " << ms << " ms";
  }
}

TEST_F(ViewerTest, BackupModeHandsFramesOnOrAcknowledgesThemWithoutAJob) {
  session.mode = kModeBackup;
  for (uint32_t i = 1; i <= 5; ++i)
    push({.frameId = i, .key = i == 1, .streamKind = kStreamRecorded, .payload = tagged(i)});
  viewers.serviceViewers();  // one tick takes all of them
  EXPECT_EQ(viewer().videoRing().read_pos, viewer().videoRing().write_pos);
  EXPECT_EQ(viewer().pending(), 0u);
  EXPECT_EQ(fb(kFeedbackFrameId), 5u);
  EXPECT_TRUE(decodes.empty());
  EXPECT_EQ(viewer().stats().backup_consumed, 5u);

  std::vector<Bytes> items;
  viewers.hooks().service_backup = [&](Viewer& v) {
    if (v.pending() == 0) return 0;
    items.emplace_back(v.waiting_frame().begin(), v.waiting_frame().end());
    v.release_waiting_frame();
    return 1;
  };
  Frame f{
      .frameId = 6, .streamKind = kStreamRecorded, .payload = Bytes(70, 0x33), .lengthUnits = 9};
  push(f);
  run();
  ASSERT_EQ(items.size(), 1u);
  Bytes expected = picture_header(f);
  expected.insert(expected.end(), f.payload.begin(), f.payload.end());
  EXPECT_EQ(items[0], expected);  // header and payload, no parameter sets
}

TEST_F(ViewerTest, RecordThatCannotBeAFrameDiscardsTheRing) {
  const Frame bad[] = {
      {.totalLength = kMaxFrameRecordLength},
      {.channel = 17},
      {.totalLength = 100},
  };
  for (const Frame& b : bad) {
    push(b);
    push({.frameId = 2});
    viewers.serviceViewers();
    EXPECT_EQ(viewer().videoRing().read_pos, viewer().videoRing().write_pos);
    EXPECT_TRUE(decodes.empty());
  }
  EXPECT_EQ(viewer().stats().framing_losses, 3u);
}

TEST_F(ViewerTest, PlaybackTimeGoesToTheKeyFormWhenItChanges) {
  session.mode = kModePlayback;
  for (uint32_t t : {700u, 700u, 701u}) {
    // A 1 ms interval: each picture is due at once.
    push({.frameId = t,
          .rate = 20000,
          .key = playback_times.empty(),
          .streamKind = kStreamRecorded,
          .time = t});
    run();
  }
  EXPECT_EQ(playback_times, (std::vector<uint32_t>{700, 701}));
}

TEST_F(ViewerTest, AttachViewRefusals) {
  platform::Component* image = &form["Image_video"];
  platform::Component* label = &form["Label_time"];
  EXPECT_EQ(viewers.attachView(1, "dvr", 80, 0, kViewKindLive, image, label), -1);
  EXPECT_EQ(viewers.attachView(0, "dvr", 80, 17, kViewKindLive, image, label), -1);
  EXPECT_EQ(viewers.attachView(0, "", 80, 0, kViewKindLive, image, label), -1);
  EXPECT_EQ(viewers.attachView(-1, "other", 80, 0, kViewKindLive, image, label), -1);
  EXPECT_EQ(viewers.attachView(-1, "dvr", 80, 3, kViewKindPlayback, image, label), 0);
  EXPECT_EQ(viewer().playbackView(3).count, 1u);
  EXPECT_EQ(viewer().liveViewCount(), 1u);
  EXPECT_EQ(viewer().playbackViewCount(), 2u);
  EXPECT_EQ(viewers.display_claim().slot, 0);
  EXPECT_FALSE(viewers.viewer(1).has_buffers());
}

// The whole road from a queued record through the real decoder into the view bitmap.
TEST(ViewerPipeline, KeyFrameIsDecodedAndDrawnIntoTheView) {
  platform::Form form;
  platform::ManualClock clock;
  platform::Logger logger;
  auto rows = shell::main_form_description();
  form.build(rows.data(), rows.size());
  link::Link link(form, clock, logger, [] { return 0u; });
  link.init_slots();
  link.slot(0).host = "dvr";
  Viewers viewers(clock, link);
  channels::SessionState session;
  channels::init_session_state(session, 0);
  channels::DeviceIdentity device;
  ViewerFeedback feedback;
  viewers.bind(0, &session, &device, &feedback);

  DecoderSlots slots(clock, logger);
  ASSERT_EQ(slots.openDecoder(0), 0);
  slots.allocateDecoderBuffer();
  ViewConverter converter;
  slots.set_picture_sink(
      [&](int index, const DecodedPicture& p) { viewers.present_decoded(index, p); });
  viewers.set_decoder(decoder_port(slots));
  viewers.set_converter(&converter);
  setupVideoView(form["Image_video"]);
  viewers.bind_outputs(0, &form["Image_video"], &form["Label_time"]);

  testing::Planes grey(176, 144);
  std::fill(grey.y.begin(), grey.y.end(), 128);
  std::fill(grey.cb.begin(), grey.cb.end(), 128);
  std::fill(grey.cr.begin(), grey.cr.end(), 128);
  Frame f{.seq = 1,
          .widthMbs = 11,
          .heightMbs = 9,
          .payload = testing::pcm_key_frame(grey, /*with_parameter_sets=*/false)};
  const Bytes r = frame_record(f);
  ASSERT_EQ(viewers.viewer(0).queue_video(r.data(), uint32_t(r.size())), 0);
  viewers.serviceViewers();

  EXPECT_EQ(viewers.viewer(0).stats().drawn, 1u);
  EXPECT_EQ(viewers.viewer(0).stats().conversion_count, 1u);
  const platform::Bitmap& view = form["Image_video"].picture();
  // 176 x 144 is doubled both ways and centred: 352 x 288 at (176, 144).
  EXPECT_EQ(view.pixel(0, 0), kFrameColour);
  EXPECT_EQ(view.pixel(352, 288), 0x00808080u);
  EXPECT_EQ(form["Label_time"].caption(), platform::timeText(f.time));
}

}  // namespace
}  // namespace tessomar::video
