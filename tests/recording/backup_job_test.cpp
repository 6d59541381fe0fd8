#include "recording/backup_job.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/icmd.h"
#include "channels/ictl.h"
#include "channels/session_modes.h"
#include "platform/bytes.h"
#include "platform/devtime.h"
#include "recording/movie_writer.h"

namespace tessomar::recording {
namespace {

namespace fs = std::filesystem;
using platform::load_u32le;
using platform::store_u32le;

constexpr uint32_t kKey = 0x5E55AB1E;
constexpr uint32_t kFull = 44 << 8 | 36;  // 704 x 576 in macroblocks (width, height)
constexpr uint32_t kCif = 22 << 8 | 18;

// One item as the DVR sends it: the 32-byte picture header and a small payload.
std::vector<uint8_t> picture(uint32_t time, uint32_t frame, bool key, uint32_t size = kFull,
                             int32_t offset = 0) {
  std::vector<uint8_t> b(32 + 96, 0);
  store_u32le(&b[0], 0x03000000);
  store_u32le(&b[4], time);
  b[8] = uint8_t(frame);
  b[11] = 0x40;                  // video
  b[12] = uint8_t(size & 0xFF);  // height
  b[13] = uint8_t(size >> 8);    // width
  b[15] = key ? 0x00 : 0x10;
  b[18] = uint8_t(b.size() / 64);
  b[23] = 0x20;  // recorded
  store_u32le(&b[28], uint32_t(offset));
  for (size_t i = 32; i < b.size(); ++i) b[i] = uint8_t(i);
  return b;
}

std::vector<uint8_t> audio(uint32_t time, uint32_t frame) {
  std::vector<uint8_t> b(32 + 96, 0);
  store_u32le(&b[0], 0x03000000);
  store_u32le(&b[4], time);
  b[8] = uint8_t(frame);
  b[11] = 0x80;  // audio
  b[18] = 2;
  b[23] = 0x20;
  return b;
}

struct Item {
  uint32_t time;
  uint32_t frame;
  bool key;
  bool picture;
  uint32_t size;
  int32_t offset;
};

Item describe(std::span<const uint8_t> b) {
  return {load_u32le(&b[4]),
          b[8],
          ((b[15] >> 4) & 3) == 0,
          (b[11] >> 6) == 1,
          uint32_t(b[13]) << 8 | b[12],
          int32_t(load_u32le(&b[28]))};
}

// Keeps what the job asks of the writer; writes just enough of a movie for the job's own
// check that a file was closed.
class RecordingWriter final : public BackupWriter {
 public:
  struct File {
    std::string path;
    uint32_t start = 0, end = 0;
    int32_t shift = 0;
    std::vector<Item> items;
  };
  void set_file(std::string path) override { path_ = std::move(path); }
  void beginMovie(uint32_t s, uint32_t e) override {
    files.push_back({path_, s, e, 0, {}});
    pictures = 0;
    samples = 0;
    failed = false;
  }
  void shiftWindow(int32_t offset) override {
    files.back().shift = offset;
    files.back().start -= uint32_t(offset);
    files.back().end -= uint32_t(offset);
  }
  int checkItem(std::span<const uint8_t> b) override {
    const Item it = describe(b);
    if (it.picture && it.time > files.back().end + kWindowEndSlack) return kItemRefused;
    if (split_after != 0 && pictures >= split_after) return kItemSplit;
    return kItemFits;
  }
  int appendItems(std::span<uint8_t> b) override {
    const Item it = describe(b);
    if (fail_after != 0 && samples >= fail_after) {
      failed = true;
      return 1;
    }
    files.back().items.push_back(it);
    ++samples;
    if (it.picture) ++pictures;
    b[32] = 0xEE;  // the writer's length word
    return it.picture && it.time >= files.back().end ? 0 : 1;
  }
  uint32_t finishMediaData() override { return 8 + 100 * samples; }
  void writeMovieAtom() override { moov_at = 40 + 8 + 100 * samples; }
  void write_mdat_size(uint32_t size) override {
    if (fail_finish) return;
    std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> body(moov_at + 8, 0);
    body[40] = char(size >> 24), body[41] = char(size >> 16), body[42] = char(size >> 8),
    body[43] = char(size);
    std::copy_n("moov", 4, &body[moov_at + 4]);
    f.write(body.data(), std::streamsize(body.size()));
  }
  void requestWatermark(uint32_t key, uint32_t channel) override {
    watermark_requests.push_back({key, channel});
    if (answer_watermark) seed = 77;
  }
  uint32_t watermark_seed() override { return seed; }
  void clear_watermark_seed() override { seed = 0; }
  bool write_failed() const override { return failed; }
  uint32_t sampleCount() const override { return samples; }
  void clear_samples() override { samples = 0; }
  uint32_t window_start() const override { return files.back().start; }

  std::vector<File> files;
  std::vector<std::pair<uint32_t, uint32_t>> watermark_requests;
  bool answer_watermark = true;
  uint32_t seed = 0;
  uint32_t split_after = 0;  // pictures in a file after which it wants to split
  uint32_t fail_after = 0;   // samples after which writes fail
  bool fail_finish = false;
  bool failed = false;

 private:
  std::string path_;
  uint32_t pictures = 0;
  uint32_t samples = 0;
  uint32_t moov_at = 0;
};

// The viewer's side: one waiting item in the frame buffer, filled from a queue the way
// videoStep does it (service the waiting item, read the next record, service again).
class QueueViewer final : public BackupItemSource {
 public:
  bool has_frame_buffer() const override { return true; }
  std::span<uint8_t> waiting_item() override { return waiting; }
  void drop_waiting_item() override { waiting.clear(); }
  void set_display_time(uint32_t t) override { display_time = t; }
  void resync_channel(uint32_t c) override { resyncs.push_back(c); }
  void preview_key_frame(std::span<const uint8_t> unit) override {
    previews.emplace_back(unit.begin(), unit.end());
  }

  void tick(BackupJob& job) {
    for (int step = 0; step < 100; ++step) {
      if (job.serviceBackup(*this) == 1) return;
      if (queue.empty()) return;
      if (!waiting.empty()) ++overwritten;
      waiting = std::move(queue.front());
      queue.pop_front();
      if (job.serviceBackup(*this) == 1) return;
    }
  }

  std::deque<std::vector<uint8_t>> queue;
  std::vector<uint8_t> waiting;
  uint32_t display_time = 0;
  std::vector<uint32_t> resyncs;
  std::vector<std::vector<uint8_t>> previews;
  int overwritten = 0;  // items the job let the viewer lose
};

class BackupJobTest : public channels::testing::ChannelFixture {
 protected:
  // 2024-01-31 23:59:59 on the DVR's calendar.
  const uint32_t kW = platform::seconds_from_date({2024, 1, 31, 23, 59, 59});

  BackupJobTest()
      : icmd(link, dialogs),
        modes(icmd, link, form),
        job({modes, icmd.session(0), [] { return kKey; }, writer, dialogs, clock, logger}) {
    icmd.register_icmd();
    open_session(0, kKey, 1);
    dir = fs::temp_directory_path() /
          ("backup_job_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    modes.hooks().set_backup_state = [this](int s) { job.setBackupState(s); };
    BackupJobHooks& h = job.hooks();
    h.key_form_started = [this] { events.push_back("started"); };
    h.key_form_refused = [this] { events.push_back("refused"); };
    h.key_form_finished = [this] { events.push_back("finished"); };
    h.show_file_name = [this](const std::string& n) { events.push_back("label " + n); };
    h.open_folders = [this](const std::vector<std::string>& p) { opened.push_back(p); };
  }
  ~BackupJobTest() override { fs::remove_all(dir); }

  channels::SessionState& session() { return icmd.session(0); }
  uint32_t backup_state() { return load_u32le(&session().backup[channels::kBackupState]); }

  // Backup mode on channel `channel` (0-based) with the window [start, end], then the Save
  // key's start with the dialog answering `answer`.
  int start(uint32_t start_time, uint32_t end_time, std::optional<std::string> answer,
            int32_t channel = 0) {
    modes.ApplyViewCommand(0, 16, channels::kModeBackup, 1, uint32_t(channel), true);
    modes.SetWindowTime(session(), start_time, channels::kWindowStart);
    modes.SetWindowTime(session(), end_time, channels::kWindowEnd);
    dialogs.script_file_answer(std::move(answer));
    return job.startBackup();
  }
  std::string path(const std::string& name) { return (dir / name).string(); }

  // Pictures at `fps` from `from` to `to` (inclusive seconds), a key frame each second.
  void queue_seconds(uint32_t from, uint32_t to, uint32_t size = kFull, int32_t offset = 0,
                     uint32_t fps = 2) {
    for (uint32_t t = from; t <= to; ++t) {
      for (uint32_t f = 0; f < fps; ++f)
        viewer.queue.push_back(picture(t, f, f == 0, size, offset));
    }
  }
  // Ticks until the job is idle again (or the limit).
  void run(int ticks = 2000) {
    for (int i = 0; i < ticks && (job.state() != JobState::kIdle || !viewer.queue.empty()); ++i) {
      viewer.tick(job);
      clock.advance_ms(10);
    }
  }

  channels::IcmdChannel icmd;
  channels::SessionModes modes;
  RecordingWriter writer;
  BackupJob job;
  QueueViewer viewer;
  fs::path dir;
  std::vector<std::string> events;
  std::vector<std::vector<std::string>> opened;
};

TEST(BackupNames, NumberedFileNames) {
  struct Case {
    const char* name;
    uint32_t n;
    const char* expected;
  } cases[] = {
      {"/tmp/a/cam.mov", 0, "/tmp/a/cam.mov"},
      {"/tmp/a/cam.mov", 1, "/tmp/a/cam(1).mov"},
      {"/tmp/a/cam.mov", 12, "/tmp/a/cam(12).mov"},
      {"x.mov.mov", 2, "x(2).mov"},  // cut at the first ".mov"
      {"x.avi", 1, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(numbered_file_name(c.name, c.n), c.expected) << c.name;
}

TEST(BackupNames, DefaultNamePadsChannelAndDeviceTime) {
  const uint32_t t = platform::seconds_from_date({2024, 1, 31, 23, 59, 59});
  EXPECT_EQ(defaultBackupName(1, t, 123), "ch01_20240131_235959_000000123.mov");
  EXPECT_EQ(defaultBackupName(16, t, 1234567890), "ch16_20240131_235959_1234567890.mov");
  EXPECT_EQ(defaultBackupName(100, 0, 5), "ch100_20000101_000000_000000005.mov");
}

TEST(BackupTimeOffset, ChosenFromTheFirstThreePictures) {
  struct Case {
    std::array<int32_t, 3> offsets;
    int32_t expected;
  } cases[] = {
      {{3600, 0, 3600}, 3600},
      {{0, 3600, 3600}, 3600},
      {{7, 7, 1}, 7},
      {{1, 2, 3}, 3},
      {{-3600, 5, -3600}, -3600},
      // Beyond 65,536 in magnitude: the third when the first matches, else none.
      {{70000, 1, 70000}, 70000},
      {{70000, 70000, 5}, 5},
      {{70000, 1, 2}, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(choose_time_offset(c.offsets), c.expected)
        << c.offsets[0] << "," << c.offsets[1] << "," << c.offsets[2];
  }
}

TEST_F(BackupJobTest, WholeWindowGoesIntoOneFileShiftedByTheChosenOffset) {
  writer.answer_watermark = false;
  ASSERT_EQ(start(kW, kW + 10, path("cam")), 1);
  EXPECT_EQ(backup_state(), 1u);
  EXPECT_EQ(dialogs.file_requests().at(0).filter, kSaveFilter);
  EXPECT_EQ(dialogs.file_requests().at(0).default_name.rfind("ch01_20240131_235959_", 0), 0u);
  // The DVR shows its pictures an hour later; one picture says otherwise.
  viewer.queue.push_back(picture(kW - 3600, 0, true, kFull, 3600));
  viewer.queue.push_back(audio(kW - 3600, 0));
  viewer.queue.push_back(picture(kW - 3600, 1, false, kFull, 0));
  viewer.queue.push_back(picture(kW - 3599, 0, true, kFull, 3600));
  queue_seconds(kW - 3599, kW - 3600 + 12, kFull, 3600);

  // Items wait with the watermark answer; after 10 s of device time the file starts anyway.
  for (int i = 0; i < 50; ++i) viewer.tick(job);
  EXPECT_EQ(job.state(), JobState::kAwaitWatermark);
  EXPECT_TRUE(writer.files.empty());
  clock.advance_ms(10000);
  run();

  EXPECT_EQ(viewer.overwritten, 0);
  EXPECT_EQ(writer.watermark_requests, (std::vector<std::pair<uint32_t, uint32_t>>{{kKey, 0}}));
  ASSERT_EQ(writer.files.size(), 1u);
  const auto& f = writer.files[0];
  EXPECT_EQ(f.path, path("cam.mov"));
  EXPECT_EQ(f.shift, 3600);
  EXPECT_EQ(f.start, kW - 3600);
  EXPECT_EQ(f.end, kW + 10 - 3600);
  ASSERT_GE(f.items.size(), 4u);
  // Every item went in, the lead ones first, all with the chosen offset.
  EXPECT_EQ(f.items[0].time, kW - 3600);
  EXPECT_FALSE(f.items[1].picture);
  for (const Item& it : f.items) EXPECT_EQ(it.offset, 3600);
  EXPECT_EQ(f.items.back().time, kW + 10 - 3600);  // the window end closes the file
  EXPECT_EQ(viewer.display_time, kW);
  EXPECT_FALSE(viewer.previews.empty());

  EXPECT_EQ(job.last_end(), BackupEnd::kComplete);
  EXPECT_EQ(events, (std::vector<std::string>{"label cam.mov", "started", "finished"}));
  EXPECT_EQ(opened, (std::vector<std::vector<std::string>>{{path("cam.mov")}}));
  EXPECT_EQ(backup_state(), 0u);  // StartStopBackup with 0 at the end
  EXPECT_TRUE(job.failure().empty());
}

TEST_F(BackupJobTest, PreviewDecodesTheOriginalPayloadBehindItsParameterSets) {
  ASSERT_EQ(start(kW, kW + 3, path("p.mov")), 1);
  queue_seconds(kW, kW + 3);
  run();
  ASSERT_FALSE(viewer.previews.empty());
  const auto& unit = viewer.previews[0];
  // Form-0 sets (a four-byte length before each), then the payload as the DVR sent it.
  EXPECT_EQ(unit[0], 0);
  EXPECT_EQ(unit[1], 0);
  ASSERT_GE(unit.size(), 96u);
  const size_t payload = unit.size() - 96;
  EXPECT_EQ(unit[payload], 32);  // not the writer's 0xEE
  EXPECT_EQ(unit.back(), 127);
}

TEST_F(BackupJobTest, CancelledDialogRefusesAndStopsTheBackup) {
  EXPECT_EQ(start(kW, kW + 60, std::nullopt), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"refused"}));
  EXPECT_EQ(backup_state(), 0u);
  EXPECT_EQ(job.filesMade(), 0u);
  // StartStopBackup told the DVR the backup state 0.
  const auto sent = take_queued();
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(writer.files.empty());
}

TEST_F(BackupJobTest, NamesWithoutMovAreRefusedAndBareNamesGetIt) {
  EXPECT_EQ(start(kW, kW + 60, path("clip.avi")), 0);
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_NE(dialogs.messages()[0].text.find("must end in .mov"), std::string::npos);
  EXPECT_EQ(backup_state(), 0u);

  EXPECT_EQ(start(kW, kW + 60, path("clip")), 1);
  EXPECT_EQ(std::string(modes.backup_job().file_name.data()), path("clip.mov"));
}

TEST_F(BackupJobTest, ThirtyMinutesOfSamplesSplitAtTheNextKeyFrame) {
  writer.split_after = 5;  // stands for 1800 s x fps
  ASSERT_EQ(start(kW, kW + 9, path("long.mov")), 1);
  queue_seconds(kW, kW + 9);
  run();

  ASSERT_EQ(writer.files.size(), 4u);
  const char* names[] = {"long.mov", "long(1).mov", "long(2).mov", "long(3).mov"};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(writer.files[i].path, path(names[i]));
    EXPECT_EQ(writer.files[i].start, i == 0 ? kW : kW + 1800 * i - 1);
  }
  // The first file ends before the key frame that split it; that key frame is dropped, and
  // with it the predicted picture that asked for the split.
  const Item last = writer.files[0].items.back();
  EXPECT_EQ(last.time, kW + 2);
  EXPECT_TRUE(last.key);
  EXPECT_EQ(writer.files[1].items.front().time, kW + 3);
  EXPECT_FALSE(writer.files[1].items.front().key);
  EXPECT_EQ(viewer.resyncs, (std::vector<uint32_t>{0, 0, 0}));
  // The last file's lead items are written even though fewer than three pictures came.
  EXPECT_EQ(writer.files[3].items.size(), 1u);
  EXPECT_EQ(job.last_end(), BackupEnd::kSilence);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].size(), 4u);
  EXPECT_EQ(job.filesMade(), 0u);  // cleared once the folders were handed over
}

TEST_F(BackupJobTest, PictureSizeChangeStartsTheNextFileOneSecondAfterItsKeyFrame) {
  // The DVR's pictures show 60 s later than their own time.
  const uint32_t t0 = kW - 60;
  ASSERT_EQ(start(kW, kW + 20, path("size.mov")), 1);
  queue_seconds(t0, t0 + 5, kFull, 60);
  // The new size starts with a predicted picture; it is passed over.
  viewer.queue.push_back(picture(t0 + 6, 1, false, kCif, 60));
  viewer.queue.push_back(picture(t0 + 7, 0, true, kCif, 60));
  queue_seconds(t0 + 7, t0 + 20, kCif, 60);
  run();

  ASSERT_EQ(writer.files.size(), 2u);
  for (const Item& it : writer.files[0].items) EXPECT_EQ(it.size, kFull);
  EXPECT_EQ(writer.files[0].items.back().time, t0 + 5);
  EXPECT_EQ(job.restartOffset(), 8u);
  EXPECT_EQ(writer.files[1].path, path("size(1).mov"));
  EXPECT_EQ(writer.files[1].start, t0 + 8);  // window start + 8, shifted back by the offset
  EXPECT_EQ(writer.files[1].items.front().size, kCif);
  EXPECT_EQ(job.last_end(), BackupEnd::kComplete);
}

TEST_F(BackupJobTest, FifteenSecondsWithoutItemsEndTheBackupUnlessPaused) {
  ASSERT_EQ(start(kW, kW + 600, path("quiet.mov")), 1);
  queue_seconds(kW, kW + 3);
  run(20);
  ASSERT_EQ(job.state(), JobState::kWrite);

  // Paused (backup state 2): the silence does not count.
  store_u32le(&session().backup[channels::kBackupState], 2);
  clock.advance_ms(20000);
  viewer.tick(job);
  EXPECT_EQ(job.state(), JobState::kWrite);
  store_u32le(&session().backup[channels::kBackupState], 1);

  clock.advance_ms(kSilenceMs);
  viewer.tick(job);
  EXPECT_EQ(job.state(), JobState::kWrite);
  clock.advance_ms(1);
  run();
  EXPECT_EQ(job.last_end(), BackupEnd::kSilence);
  EXPECT_EQ(opened, (std::vector<std::vector<std::string>>{{path("quiet.mov")}}));
  EXPECT_EQ(backup_state(), 0u);
}

TEST_F(BackupJobTest, WindowWithoutKeyFrameLeavesAnEmptyFile) {
  ASSERT_EQ(start(kW, kW + 30, path("nokey.mov")), 1);
  // The writer would wait for a key frame; here nothing at all arrives.
  run(5);
  clock.advance_ms(kSilenceMs + 1);
  run();
  EXPECT_EQ(job.last_end(), BackupEnd::kSilence);
  EXPECT_TRUE(fs::exists(path("nokey.mov")));
  EXPECT_EQ(fs::file_size(path("nokey.mov")), 0u);
}

TEST_F(BackupJobTest, UserStopAfterASplitClosesTheCurrentFileAndEnds) {
  writer.split_after = 3;
  ASSERT_EQ(start(kW, kW + 100, path("stop.mov")), 1);
  queue_seconds(kW, kW + 3);
  run(40);
  ASSERT_EQ(job.fileNumber(), 1u);
  job.setBackupState(3);  // the Save key's stop
  run();
  EXPECT_EQ(writer.files.size(), 2u);
  EXPECT_EQ(opened,
            (std::vector<std::vector<std::string>>{{path("stop.mov"), path("stop(1).mov")}}));
  EXPECT_EQ(job.last_end(), BackupEnd::kStopped);
  EXPECT_EQ(backup_state(), 0u);
}

// A stop that lands while a file closes for a split, or after it closed and before the next
// began, must not be lost: the backup ends there instead of starting the next file.
TEST_F(BackupJobTest, UserStopWhileASplitClosesAFileEndsTheBackup) {
  for (const JobState at : {JobState::kCloseFile, JobState::kClosed}) {
    SCOPED_TRACE(int(at));
    writer.files.clear();
    opened.clear();
    writer.split_after = 3;
    ASSERT_EQ(start(kW, kW + 100, path("gap.mov")), 1);
    queue_seconds(kW, kW + 3);
    for (int i = 0; i < 400 && job.state() != at; ++i) {
      // One service at a time, so that every state between two files is seen.
      if (job.serviceBackup(viewer) != 1 && viewer.waiting.empty() && !viewer.queue.empty()) {
        viewer.waiting = std::move(viewer.queue.front());
        viewer.queue.pop_front();
      }
      clock.advance_ms(10);
    }
    ASSERT_EQ(job.state(), at);
    ASSERT_NE(job.fileNumber(), 0u);
    job.setBackupState(3);  // the Save key's stop
    viewer.queue.clear();
    run();
    EXPECT_EQ(job.state(), JobState::kIdle);
    EXPECT_EQ(writer.files.size(), 1u);
    EXPECT_EQ(opened, (std::vector<std::vector<std::string>>{{path("gap.mov")}}));
    EXPECT_EQ(job.last_end(), BackupEnd::kStopped);
    EXPECT_EQ(backup_state(), 0u);
  }
}

TEST_F(BackupJobTest, ModeSwitchClosesTheOpenFileWithItsMovieAtom) {
  ASSERT_EQ(start(kW, kW + 100, path("switch.mov")), 1);
  queue_seconds(kW, kW + 5);
  run(40);
  ASSERT_EQ(job.state(), JobState::kWrite);
  modes.ApplyViewCommand(0, 16, channels::kModeLive, 1, 0, true);
  EXPECT_EQ(opened, (std::vector<std::vector<std::string>>{{path("switch.mov")}}));
  EXPECT_GT(fs::file_size(path("switch.mov")), 40u);
}

TEST_F(BackupJobTest, FailedWritesEndTheBackupWithAMessageAndNoLostData) {
  struct Case {
    const char* name;
    bool bad_folder;
    uint32_t fail_after;
    bool fail_finish;
    bool file_kept;
    const char* message_part;
  } cases[] = {
      {"folder missing", true, 0, false, false, "could not create"},
      {"disk full, closed", false, 5, false, true, "written before the failure"},
      {"disk full, not even closed", false, 5, true, false, "was removed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs.clear_messages();
    writer.fail_after = c.fail_after;
    writer.fail_finish = c.fail_finish;
    const std::string file = c.bad_folder ? path("gone/x.mov") : path("x.mov");
    ASSERT_EQ(start(kW, kW + 100, file), 1);
    queue_seconds(kW, kW + 8);
    run();
    EXPECT_EQ(job.last_end(), BackupEnd::kWriteError);
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_NE(dialogs.messages()[0].text.find(c.message_part), std::string::npos)
        << dialogs.messages()[0].text;
    EXPECT_NE(dialogs.messages()[0].text.find(file), std::string::npos);
    EXPECT_EQ(fs::exists(file), c.file_kept);
    EXPECT_EQ(job.files().size(), c.file_kept ? 1u : 0u);
    EXPECT_EQ(backup_state(), 0u);
    fs::remove(file);
    viewer.queue.clear();
  }
}

// The job with the real movie writer behind it.
class BackupWithWriterTest : public BackupJobTest {
 protected:
  BackupWithWriterTest()
      : ictl(link, form, dialogs),
        movie(ictl),
        port(movie_writer_port(movie)),
        real({modes, icmd.session(0), [] { return kKey; }, *port, dialogs, clock, logger}) {
    ictl.register_ictl();
    ictl.declare_slots();
    modes.hooks().set_backup_state = [this](int s) { real.setBackupState(s); };
    real.hooks().open_folders = [this](const std::vector<std::string>& p) { opened.push_back(p); };
  }
  int start_real(uint32_t from, uint32_t to, const std::string& file) {
    modes.ApplyViewCommand(0, 16, channels::kModeBackup, 1, 0, true);
    modes.SetWindowTime(session(), from, channels::kWindowStart);
    modes.SetWindowTime(session(), to, channels::kWindowEnd);
    dialogs.script_file_answer(file);
    return real.startBackup();
  }
  void run_real(int ticks = 20000) {
    for (int i = 0; i < ticks && (real.state() != JobState::kIdle || !viewer.queue.empty()); ++i) {
      viewer.tick(real);
      // Ten seconds of device time pass before the watermark is given up (nobody answers).
      clock.advance_ms(real.state() == JobState::kAwaitWatermark ? 1000 : 10);
    }
  }

  channels::IctlChannel ictl;
  MovieWriter movie;
  std::unique_ptr<BackupWriter> port;
  BackupJob real;
};

TEST_F(BackupWithWriterTest, WindowWithoutKeyFrameLeavesAnEmptyFileWithoutMovieAtom) {
  ASSERT_EQ(start_real(kW, kW + 4, path("nokey.mov")), 1);
  for (uint32_t t = kW; t <= kW + 4; ++t) viewer.queue.push_back(picture(t, 1, false));
  run_real(500);
  clock.advance_ms(kSilenceMs + 1);
  run_real();
  EXPECT_EQ(real.state(), JobState::kIdle);
  EXPECT_EQ(fs::file_size(path("nokey.mov")), 0u);
  EXPECT_FALSE(movie_file_closed(path("nokey.mov")));
}

TEST_F(BackupWithWriterTest, ThirtyMinutesOfSamplesSplitTheFile) {
  // One key frame a second: the writer fills the other 24 frame periods, so a file holds
  // 1800 pictures here.
  ASSERT_EQ(start_real(kW, kW + 3700, path("long.mov")), 1);
  for (uint32_t t = kW; t <= kW + 3700; ++t) viewer.queue.push_back(picture(t, 0, true));
  run_real(200000);
  EXPECT_EQ(real.last_end(), BackupEnd::kComplete) << real.failure();
  ASSERT_EQ(opened.size(), 1u);
  ASSERT_EQ(opened[0],
            (std::vector<std::string>{path("long.mov"), path("long(1).mov"), path("long(2).mov")}));
  for (const std::string& f : opened[0]) EXPECT_TRUE(movie_file_closed(f)) << f;
  EXPECT_EQ(viewer.overwritten, 0);
}

}  // namespace
}  // namespace tessomar::recording
