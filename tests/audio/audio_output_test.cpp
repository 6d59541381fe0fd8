#include "audio/audio_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/session_state.h"
#include "channels/vask.h"
#include "link/ring.h"
#include "platform/bytes.h"
#include "platform/sound.h"
#include "support/log_capture.h"
#include "video/frame_record.h"
#include "video/viewer.h"
#include "video/viewer_test_peer.h"

namespace tessomar::audio {
namespace {

using channels::kModeBackup;
using channels::kModeLive;
using channels::kModePlayback;
using channels::kModeSetup;
using platform::store_u32le;
using video::kStreamLive;
using video::kStreamRecorded;
using video::ViewerTestPeer;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTime = 500000000;

// One audio record as the VIDO channel queues it. The samples' high bytes are what plays.
struct Block {
  uint32_t recordChannel = 0;  // the frame record header's channel word
  uint32_t camera = 0;         // the audio channel in the picture header
  uint32_t streamKind = kStreamLive;
  uint32_t requestCounter = 0;
  uint32_t time = kTime;
  uint8_t frameNumber = 0;
  uint32_t samples = 480;  // a multiple of 32: the block length is then exact
  uint8_t high = 0x40;     // every sample's high byte
  uint32_t totalLength = 0;
};

Bytes audio_record(const Block& b) {
  Bytes r(video::kFrameRecordHeaderSize + video::kPictureHeaderSize + 2 * b.samples, 0);
  store_u32le(&r[0], b.totalLength ? b.totalLength : uint32_t(r.size()));
  store_u32le(&r[20], b.recordChannel);
  store_u32le(&r[48], video::kRecordKindAudio);
  store_u32le(&r[52], b.requestCounter);
  uint8_t* p = &r[video::kFrameRecordHeaderSize];
  store_u32le(p, video::kPictureMagic);
  store_u32le(p + 4, b.time);
  p[8] = b.frameNumber;
  p[11] = uint8_t(video::kContentAudio << 6);
  p[14] = uint8_t(b.camera << 4);
  const uint32_t units = (2 * b.samples + 64) / 64;
  p[18] = uint8_t(units);
  p[19] = uint8_t(units >> 8);
  p[23] = uint8_t(b.streamKind << 5);
  for (uint32_t i = 0; i < b.samples; ++i) p[32 + 2 * i + 1] = b.high;
  return r;
}

// What the output did with its devices; atomics, as the real thread creates them.
struct DeviceLog {
  std::atomic<int> created{0};
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
  std::atomic<int> released{0};
  std::atomic<uint32_t> bytes_written{0};
  bool fail = false;
};

class ProbeDevice final : public platform::NullSoundDevice {
 public:
  ProbeDevice(const platform::Clock& clock, DeviceLog& log, Bytes& mirror)
      : NullSoundDevice(clock), log_(log), mirror_(mirror) {
    ++log_.created;
  }
  ~ProbeDevice() override { ++log_.released; }
  bool start() override {
    ++log_.started;
    return NullSoundDevice::start();
  }
  void stop() override {
    ++log_.stopped;
    NullSoundDevice::stop();
  }
  bool write(uint32_t offset, const uint8_t* data, uint32_t n) override {
    log_.bytes_written += n;
    for (uint32_t i = 0; i < n; ++i) mirror_[(offset + i) % platform::kSoundBufferBytes] = data[i];
    return NullSoundDevice::write(offset, data, n);
  }

 private:
  DeviceLog& log_;
  Bytes& mirror_;
};

class AudioTest : public channels::testing::ChannelFixture {
 protected:
  AudioTest()
      : viewers(clock, link),
        audio(
            viewers, &speaker, [this] { return make_device(); }, logs.logger()) {
    channels::init_session_state(session, 0);
    viewers.bind(0, &session, &device, &feedback);
    link.slot(0).host = "dvr";
    link.slot(0).port = 80;
    viewers.bind_outputs(0, &form["Image_video"], &form["Label_time"]);
    view.session = true;
    view.fps = 25;
    audio.publish_view(view);
  }

  std::unique_ptr<platform::SoundDevice> make_device() {
    if (devices.fail) return nullptr;
    return std::make_unique<ProbeDevice>(clock, devices, sound);
  }

  video::Viewer& viewer() { return viewers.viewer(0); }
  link::ByteRing& ring() { return ViewerTestPeer::audio_ring(viewer()); }
  uint32_t queued() { return link::ring_used(ring().write_pos, ring().read_pos, ring().size); }
  void push(const Block& b) {
    const Bytes r = audio_record(b);
    ASSERT_EQ(viewer().queue_audio(r.data(), uint32_t(r.size())), 0);
  }
  void publish() { audio.publish_view(view); }
  // Steps until the step says it can do no more (as the thread's cycle does).
  void drain() {
    for (int i = 0; i < kAudioStepsPerCycle; ++i) {
      if (audio.audioStep(viewer()) == 1) return;
    }
  }

  testsupport::LogCapture logs;
  channels::SessionState session;
  channels::DeviceIdentity device;
  video::ViewerFeedback feedback;
  video::Viewers viewers;
  std::atomic<int32_t> speaker{1};
  DeviceLog devices;
  Bytes sound = Bytes(platform::kSoundBufferBytes, 0);
  AudioViewState view;
  AudioOutput audio;
};

TEST_F(AudioTest, AcceptsBlocksByModeChannelLayoutAndStreamKind) {
  struct Case {
    const char* name;
    int32_t mode;
    uint32_t liveSelected;
    uint32_t liveLayout;
    uint32_t playbackChannel;
    uint32_t camera;
    uint32_t streamKind;
    bool plays;
  };
  const Case cases[] = {
      {"live, single view of channel 0", kModeLive, 0, 0, 0, 0, kStreamLive, true},
      {"live, single view of channel 1", kModeLive, 1, 0, 0, 1, kStreamLive, true},
      {"live, four-way split", kModeLive, 0, 1, 0, 0, kStreamLive, false},
      {"live, block of another camera", kModeLive, 0, 0, 0, 1, kStreamLive, false},
      {"live, channel 2 has no sound", kModeLive, 2, 0, 0, 2, kStreamLive, false},
      {"live, recorded stream", kModeLive, 0, 0, 0, 0, kStreamRecorded, false},
      {"playback of channel 1", kModePlayback, 0, 0, 1, 1, kStreamRecorded, true},
      {"playback, live stream", kModePlayback, 0, 0, 0, 0, kStreamLive, false},
      {"playback of channel 3", kModePlayback, 0, 0, 3, 3, kStreamRecorded, false},
      {"setup", kModeSetup, 0, 0, 0, 0, kStreamLive, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    audio.clearAudioChannel();
    view.mode = c.mode;
    view.liveSelected = c.liveSelected;
    view.liveLayout = c.liveLayout;
    view.playbackChannel = c.playbackChannel;
    publish();
    const uint32_t staged_before = audio.staged();
    push({.camera = c.camera, .streamKind = c.streamKind, .high = 0x33});
    EXPECT_EQ(audio.audioStep(viewer()), 0);
    EXPECT_EQ(queued(), 0u);  // taken either way
    EXPECT_EQ(audio.staged(), c.plays ? 480u : staged_before);
    if (c.plays) {
      EXPECT_EQ(audio.channel(), int32_t(c.camera));
      EXPECT_EQ(audio.level(), 0x33u);
      EXPECT_EQ(audio.mode(), c.mode);
    }
  }
}

TEST_F(AudioTest, LostFramingDiscardsTheRing) {
  for (const Block& bad : {Block{.totalLength = kMaxAudioRecord}, Block{.recordChannel = 2}}) {
    push(bad);
    push({});
    EXPECT_EQ(audio.audioStep(viewer()), 1);
    EXPECT_EQ(queued(), 0u);
    EXPECT_EQ(audio.staged(), 0u);
  }
}

TEST_F(AudioTest, BlocksOfAnOlderViewRequestAreDropped) {
  session.sendSequence = 7;
  view.sendSequence = 7;
  publish();
  push({.requestCounter = 6, .high = 0x11});
  push({.requestCounter = 7, .high = 0x22});
  push({.requestCounter = 0, .high = 0x33});
  drain();
  EXPECT_EQ(audio.staged(), 2 * 480u);
  EXPECT_EQ(audio.level(), 0x33u);
}

TEST_F(AudioTest, BlockAheadOfTheShownPictureWaitsInTheRing) {
  const uint32_t position = (kTime & 0xFFFFFF) * 25 + 3;
  video::ChannelClock& clk = ViewerTestPeer::clock(viewer(), 0);
  clk.shownPosition = position - 1;
  push({.frameNumber = 3});
  const uint32_t held = queued();
  EXPECT_EQ(audio.audioStep(viewer()), 1);
  EXPECT_EQ(audio.audioStep(viewer()), 1);
  EXPECT_EQ(queued(), held);  // given back whole, every time
  EXPECT_EQ(audio.staged(), 0u);

  clk.shownPosition = position;  // its picture is on the screen now
  EXPECT_EQ(audio.audioStep(viewer()), 0);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(audio.staged(), 480u);
}

TEST_F(AudioTest, BlocksOlderThanTheChannelsResyncAreDropped) {
  video::ChannelClock& clk = ViewerTestPeer::clock(viewer(), 0);
  clk.resyncTime = kTime;
  clk.resyncFrame = 5;
  push({.time = kTime - 1, .frameNumber = 20});
  push({.time = kTime, .frameNumber = 4});
  push({.time = kTime, .frameNumber = 5, .high = 0x55});
  drain();
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(audio.staged(), 480u);
  EXPECT_EQ(audio.level(), 0x55u);
}

TEST_F(AudioTest, DeviceWithoutAudioPlaysNothing) {
  view.identityAudio = 2;
  publish();
  push({});
  drain();
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(audio.staged(), 0u);
  EXPECT_EQ(devices.created, 0);
}

TEST_F(AudioTest, ChannelChangeEmptiesTheRingAndRestartsTheOutput) {
  push({.high = 0x10});
  drain();
  ASSERT_EQ(audio.channel(), 0);
  ASSERT_EQ(devices.started, 1);
  EXPECT_EQ(audio.feedSoundBuffer(), 1);  // 480 staged: less than a block

  // A view command: channel 1 now. Old blocks of channel 0 are still queued.
  audio.clearAudioChannel();
  view.liveSelected = 1;
  publish();
  push({.camera = 0, .high = 0x10});
  push({.camera = 1, .high = 0x20});
  push({.camera = 1, .high = 0x21});
  EXPECT_EQ(audio.audioStep(viewer()), 0);  // channel 0's block is refused
  EXPECT_EQ(audio.audioStep(viewer()), 0);  // channel 1 chosen: the ring is emptied
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(audio.channel(), 1);
  EXPECT_EQ(devices.started, 2);
  EXPECT_EQ(devices.released, 1);
  EXPECT_EQ(audio.staged(), 480u);  // only the new channel's block: staging restarted
  EXPECT_EQ(audio.level(), 0x20u);

  // While no channel is chosen the feed stops the output.
  audio.clearAudioChannel();
  EXPECT_EQ(audio.feedSoundBuffer(), 1);
  EXPECT_FALSE(audio.has_device());
  EXPECT_EQ(audio.staged(), 0u);
}

TEST_F(AudioTest, SpeakerOffConsumesBlocksAndSpeakerOnRestartsEmpty) {
  speaker = 0;
  push({});
  push({});
  EXPECT_EQ(audio.audioStep(viewer()), 1);
  EXPECT_EQ(audio.audioStep(viewer()), 1);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(audio.staged(), 0u);
  EXPECT_FALSE(audio.playing());
  EXPECT_EQ(audio.feedSoundBuffer(), 1);
  EXPECT_FALSE(audio.has_device());

  speaker = 1;
  push({.high = 0x70});
  push({.high = 0x70});
  drain();
  EXPECT_TRUE(audio.playing());
  EXPECT_TRUE(audio.has_device());
  EXPECT_EQ(audio.staged(), 2 * 480u);
  EXPECT_EQ(audio.writtenBytes(), 0u);
  EXPECT_EQ(audio.feedSoundBuffer(), 0);
  EXPECT_EQ(sound[0], 0x70);
}

TEST_F(AudioTest, StagingAboveTheLatencyBoundDropsABlockFirst) {
  // Eight blocks of 992 samples, each its own level: 7,936 bytes staged.
  for (uint8_t i = 0; i < 8; ++i) push({.samples = 992, .high = uint8_t(0x10 + i)});
  drain();
  ASSERT_EQ(audio.staged(), 7936u);
  EXPECT_EQ(audio.feedSoundBuffer(), 0);
  EXPECT_EQ(audio.staged(), 7936u - 1024u);
  // Bytes 512-1023 of the staging went out: the first block's tail.
  EXPECT_EQ(sound[0], 0x10);
  EXPECT_EQ(sound[511], 0x11);
  // Under the bound nothing more is dropped.
  EXPECT_EQ(audio.feedSoundBuffer(), 0);
  EXPECT_EQ(audio.staged(), 7936u - 1536u);
}

TEST_F(AudioTest, UnderrunWritesTheLastLevelAndAFullBufferWaits) {
  push({.samples = 544, .high = 0x60});  // 544 staged: one block and 32 bytes
  drain();
  ASSERT_EQ(audio.feedSoundBuffer(), 0);
  EXPECT_EQ(audio.feedSoundBuffer(), 1);  // 32 bytes: not a block, and well ahead
  clock.advance_ms(60);                   // the cursor at 480: 32 bytes ahead of it
  EXPECT_EQ(audio.feedSoundBuffer(), 1);  // still the 32 bytes staged: no fill
  push({.samples = 480, .high = 0x20});
  drain();
  EXPECT_EQ(audio.feedSoundBuffer(), 0);  // a real block
  EXPECT_EQ(audio.blocksWritten(), 2u);
  EXPECT_EQ(audio.staged(), 0u);

  clock.advance_ms(60);  // cursor 960 of 1024 written: running dry with nothing staged
  EXPECT_EQ(audio.feedSoundBuffer(), 0);
  EXPECT_EQ(audio.blocksWritten(), 3u);
  for (uint32_t i = 1024; i < 1536; ++i) ASSERT_EQ(sound[i], 0x20) << i;

  // The cursor stands still at 960: blocks go in while at most 16,384 - 512 bytes are ahead
  // of it, then the full buffer waits.
  for (int i = 0; i < 40; ++i) {
    push({.samples = 480});
    drain();
    audio.feedSoundBuffer();
  }
  EXPECT_EQ(audio.writtenBytes(), 960u + 15424u + 512u);
  EXPECT_EQ(audio.feedSoundBuffer(), 1);
}

TEST_F(AudioTest, BackupModeHandsBlocksToTheBackupWriter) {
  view.mode = kModeBackup;
  view.backupChannel = 1;
  publish();
  std::vector<Bytes> written;
  audio.hooks().backup_writer = [&](video::Viewer& v) {
    written.emplace_back(v.waiting_frame().begin(), v.waiting_frame().end());
    v.release_waiting_frame();
    return 0;
  };
  push({.camera = 1, .streamKind = kStreamRecorded, .samples = 32, .high = 0x44});
  // The audio thread leaves Backup-mode records to the UI thread.
  audio.audio_cycle();
  EXPECT_NE(queued(), 0u);
  EXPECT_EQ(audio.audioStep(viewer()), 0);
  ASSERT_EQ(written.size(), 1u);
  const Bytes record =
      audio_record({.camera = 1, .streamKind = kStreamRecorded, .samples = 32, .high = 0x44});
  EXPECT_EQ(written[0], Bytes(record.begin() + video::kFrameRecordHeaderSize, record.end()));
  EXPECT_EQ(audio.staged(), 0u);
  EXPECT_EQ(devices.created, 0);

  // A live block in Backup mode is refused.
  push({.camera = 1});
  EXPECT_EQ(audio.audioStep(viewer()), 0);
  EXPECT_EQ(written.size(), 1u);
}

TEST_F(AudioTest, MissingDeviceIsLoggedOnceAndBlocksAreDiscarded) {
  devices.fail = true;
  for (int i = 0; i < 3; ++i) {
    audio.clearAudioChannel();
    push({});
    drain();
    EXPECT_EQ(audio.feedSoundBuffer(), 1);
    EXPECT_EQ(audio.staged(), 0u);
  }
  int warnings = 0;
  for (const auto& e : logs.entries()) warnings += e.level == platform::LogLevel::Warning;
  EXPECT_EQ(warnings, 1);
}

// The real thread: it plays what the UI thread queues and ends cleanly when terminated, with
// the output released after it (the unload query's order).
TEST_F(AudioTest, ThreadPlaysQueuedAudioAndStopsCleanly) {
  audio.create_thread_suspended();
  push({.samples = 992, .high = 0x50});
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(devices.created.load(), 0);  // suspended: nothing taken yet
  audio.resume_thread();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (devices.bytes_written.load() < 512 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(devices.bytes_written.load(), 512u);
  // More records and channel clears while it runs.
  for (int i = 0; i < 20; ++i) {
    push({.samples = 480});
    if (i % 5 == 0) audio.clearAudioChannel();
  }
  audio.terminate_thread();
  EXPECT_FALSE(audio.thread_running());
  audio.stopSoundOutput();
  EXPECT_FALSE(audio.has_device());
  EXPECT_EQ(devices.created.load(), devices.released.load());
}

// Idle, the thread sleeps until audio is queued instead of cycling every millisecond, and
// queued audio still wakes it at once.
TEST_F(AudioTest, IdleThreadSleepsUntilAudioIsQueued) {
  audio.create_thread_suspended();
  audio.resume_thread();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A millisecond cycle would have run about 300 times; idle pauses are 50 ms.
  EXPECT_LT(audio.cycles(), 40u);
  push({.samples = 992});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (devices.bytes_written.load() < 512 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(devices.bytes_written.load(), 512u);
  audio.terminate_thread();
  audio.stopSoundOutput();
}

TEST(SoundDevice, NullCursorMovesAtEightKilobytesPerSecondAndLoops) {
  platform::ManualClock clock;
  platform::NullSoundDevice d(clock);
  ASSERT_TRUE(d.start());
  EXPECT_EQ(d.play_cursor(), 0u);
  clock.advance_ms(1000);
  EXPECT_EQ(d.play_cursor(), 8000u);
  clock.advance_ms(2048);
  EXPECT_EQ(d.play_cursor(), 8000u);  // one whole loop later
  clock.advance_ms(100);
  d.stop();
  clock.advance_ms(100);
  EXPECT_EQ(d.play_cursor(), 8800u);  // stopped where it was
  ASSERT_TRUE(d.start());
  EXPECT_EQ(d.play_cursor(), 0u);
}

TEST(SoundDevice, WavCaptureWritesWhatTheCursorPlayed) {
  const std::string path = ::testing::TempDir() + "audio_capture_test.wav";
  platform::ManualClock clock;
  auto writer = std::make_shared<platform::WavWriter>();
  ASSERT_TRUE(writer->open(path));
  auto factory = platform::wav_capture_factory(clock, writer);
  {
    auto d = factory();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->start());
    Bytes block(512);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i);
    ASSERT_TRUE(d->write(0, block.data(), 512));
    clock.advance_ms(32);  // 256 bytes played
    EXPECT_EQ(d->play_cursor(), 256u);
    clock.advance_ms(32);
    d->stop();  // the second 256 too
    clock.advance_ms(1000);
  }  // released: nothing more is captured
  writer->close();

  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Bytes file(2000);
  file.resize(std::fread(file.data(), 1, file.size(), f));
  std::fclose(f);
  ASSERT_EQ(file.size(), 44u + 512u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), Bytes({'R', 'I', 'F', 'F'}));
  EXPECT_EQ(platform::load_u32le(&file[4]), 36u + 512u);
  EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 16),
            Bytes({'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}));
  EXPECT_EQ(platform::load_u32le(&file[24]), 8000u);  // sample rate
  EXPECT_EQ(file[34], 8);                             // bits
  EXPECT_EQ(platform::load_u32le(&file[40]), 512u);
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(file[44 + i], uint8_t(i)) << i;
  std::remove(path.c_str());
}

TEST(SoundDevice, WavCaptureWithoutAnOpenFileMakesNoDevice) {
  platform::ManualClock clock;
  auto writer = std::make_shared<platform::WavWriter>();
  std::string error;
  EXPECT_FALSE(writer->open("/nonexistent-dir/x.wav", &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.wav"), std::string::npos);
  EXPECT_EQ(platform::wav_capture_factory(clock, writer)(), nullptr);
}

}  // namespace
}  // namespace tessomar::audio
