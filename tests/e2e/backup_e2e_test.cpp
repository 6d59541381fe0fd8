// Backups as a user runs them: tessomar-cli backup against the simulator's archive, and the
// files checked by ffprobe and ffmpeg.
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>

#include "e2e/e2e_support.h"
#include "platform/devtime.h"

namespace tessomar::e2e {
namespace {

namespace fs = std::filesystem;

// "YYYY/MM/DD hh:mm:ss" of yesterday at a time of day, local time (the simulator's archive
// holds the last 14 days). Channel 1 records all day except 06:30-06:59 and weekend nights.
std::string yesterday_at(int hour, int minute, int second = 0) {
  std::time_t now = std::time(nullptr) - 86400;
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, hour, minute, second);
  return buf;
}

struct StreamInfo {
  std::string codec_type, codec_name;
  int width = 0, height = 0;
  long frames = -1;
  double duration = -1;
};

// ffprobe's view of a file's streams (flat "key=value" output).
std::vector<StreamInfo> probe(const std::string& file) {
  std::string out, err;
  EXPECT_EQ(run_tool({"ffprobe", "-v", "error", "-count_packets", "-show_streams", "-of",
                      "flat=s=_", file},
                     &out, &err),
            0)
      << err;
  std::vector<StreamInfo> streams;
  std::regex line(R"re(streams_stream_(\d+)_(\w+)=(.*))re");
  std::istringstream in(out);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) continue;
    const size_t i = std::stoul(m[1]);
    if (streams.size() <= i) streams.resize(i + 1);
    std::string v = m[3];
    if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
    StreamInfo& s = streams[i];
    const std::string key = m[2];
    if (key == "codec_type") s.codec_type = v;
    if (key == "codec_name") s.codec_name = v;
    if (key == "width") s.width = std::atoi(v.c_str());
    if (key == "height") s.height = std::atoi(v.c_str());
    if (key == "nb_read_packets") s.frames = std::atol(v.c_str());
    if (key == "duration" && v != "N/A") s.duration = std::atof(v.c_str());
  }
  return streams;
}

const StreamInfo* find_stream(const std::vector<StreamInfo>& s, const std::string& type) {
  for (const StreamInfo& i : s)
    if (i.codec_type == type) return &i;
  return nullptr;
}

// Decodes every stream; ffmpeg prints nothing for a sound file.
std::string decode_errors(const std::string& file) {
  std::string out, err;
  const int rc = run_tool({"ffmpeg", "-v", "error", "-i", file, "-f", "null", "-"}, &out, &err);
  if (rc != 0) err += "\nexit " + std::to_string(rc);
  return err;
}

// The first date and time text in the text track.
std::string first_text(const std::string& file) {
  std::string out, err;
  run_tool({"ffmpeg", "-v", "error", "-i", file, "-map", "0:s:0", "-c", "copy", "-f", "data", "-"},
           &out, &err);
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)"))) return err;
  return m[0];
}

std::vector<std::string> files_of(const std::string& out) {
  std::vector<std::string> files;
  std::regex re(R"(file=(\S+) bytes=)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator();
       ++it) {
    files.push_back((*it)[1]);
  }
  return files;
}

struct BackupFixture : ::testing::Test {
  Dvr dvr;
  fs::path dir;

  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("tessomar_backup_e2e_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  int backup(const std::string& from, const std::string& to, std::string* out, std::string* err,
             const std::string& name = "cam.mov") {
    return run_cli({"backup", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--channel", "1", "--from",
                    from, "--to", to, "--out", (dir / name).string(), "--timeout", "30"},
                   out, err);
  }
};

TEST_F(BackupFixture, FiveMinutesBackUpIntoOneReadableMovie) {
  ASSERT_TRUE(dvr.start({"--archive-fps", "5"}));
  const std::string from = yesterday_at(12, 0, 0), to = yesterday_at(12, 5, 0);
  std::string out, err;
  ASSERT_EQ(backup(from, to, &out, &err), 0) << out << err;
  EXPECT_NE(out.find("result=complete"), std::string::npos) << out;
  const auto files = files_of(out);
  ASSERT_EQ(files, std::vector<std::string>{(dir / "cam.mov").string()});

  const auto streams = probe(files[0]);
  const StreamInfo* video = find_stream(streams, "video");
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->codec_name, "h264");
  EXPECT_EQ(video->width, 704);
  EXPECT_EQ(video->height, 576);
  // 300 s at 25 frames a second, the frames the archive left out filled in; the picture of
  // the window end itself closes the file.
  EXPECT_NEAR(double(video->frames), 300 * 25, 30);
  EXPECT_NEAR(video->duration, 300, 1.5);
  EXPECT_NE(find_stream(streams, "audio"), nullptr);
  EXPECT_NE(find_stream(streams, "subtitle"), nullptr);
  EXPECT_EQ(decode_errors(files[0]), "");
  EXPECT_EQ(first_text(files[0]), from);
}

TEST_F(BackupFixture, SeventyMinutesGiveThreeFiles) {
  ASSERT_TRUE(dvr.start({"--archive-fps", "1", "--resolution", "cif", "--audio", "off"}));
  const std::string from = yesterday_at(12, 0, 0), to = yesterday_at(13, 10, 0);
  std::string out, err;
  ASSERT_EQ(backup(from, to, &out, &err, "long.mov"), 0) << out << err;
  const auto files = files_of(out);
  ASSERT_EQ(files,
            (std::vector<std::string>{(dir / "long.mov").string(), (dir / "long(1).mov").string(),
                                      (dir / "long(2).mov").string()}));
  // Each split drops the key frame that ended the file, and the next file starts with the
  // next key frame: at one picture a second the later files start a second or two late.
  const double expected[] = {1800, 1799, 597};
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const auto streams = probe(files[i]);
    const StreamInfo* video = find_stream(streams, "video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, 352);
    EXPECT_NEAR(video->duration, expected[i], 4);
    EXPECT_EQ(decode_errors(files[i]), "");
  }
  // The key frame that ends 30 minutes of samples is dropped; the next file starts with the
  // next key frame (one a second here).
  const std::string second = first_text(files[1]);
  EXPECT_TRUE(second.substr(11) >= "12:30:00" && second.substr(11) <= "12:30:02") << second;
}

TEST_F(BackupFixture, PictureSizeChangeStartsANewFile) {
  ASSERT_TRUE(dvr.start({"--archive-fps", "5", "--resolution-change-at", "60"}));
  const std::string from = yesterday_at(12, 0, 0), to = yesterday_at(12, 2, 0);
  std::string out, err;
  ASSERT_EQ(backup(from, to, &out, &err, "size.mov"), 0) << out << err;
  const auto files = files_of(out);
  ASSERT_EQ(files.size(), 2u) << out;
  const int widths[] = {704, 352};
  for (size_t i = 0; i < 2; ++i) {
    const auto streams = probe(files[i]);
    const StreamInfo* video = find_stream(streams, "video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, widths[i]);
    EXPECT_EQ(decode_errors(files[i]), "");
  }
  // The new size's key frame closes the first file; the second starts a second later.
  EXPECT_EQ(first_text(files[1]).substr(11), "12:01:01");
}

TEST_F(BackupFixture, DroppedConnectionLeavesClosedReadableFiles) {
  ASSERT_TRUE(
      dvr.start({"--archive-fps", "5", "--resolution", "cif", "--fault-close-after", "400"}));
  const std::string from = yesterday_at(12, 0, 0), to = yesterday_at(12, 20, 0);
  std::string out, err;
  const int rc = backup(from, to, &out, &err, "drop.mov");
  const auto files = files_of(out);
  ASSERT_FALSE(files.empty()) << out << err;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    EXPECT_EQ(out.find("not closed"), std::string::npos) << out;
    const auto streams = probe(f);
    ASSERT_NE(find_stream(streams, "video"), nullptr);
    EXPECT_EQ(decode_errors(f), "");
  }
  // Unless the control picked the backup up again after the reconnection and finished it,
  // the window was not copied: that is no success.
  if (out.find("result=complete") == std::string::npos) {
    EXPECT_EQ(rc, 1) << out << err;
  }
}

TEST_F(BackupFixture, DvrGoneMidBackupEndsWithClosedFilesAndAFailure) {
  ASSERT_TRUE(dvr.start({"--archive-fps", "5", "--resolution", "cif"}));
  const std::string from = yesterday_at(12, 0, 0), to = yesterday_at(12, 40, 0);
  auto cli = start_cli({"backup", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--channel", "1",
                        "--from", from, "--to", to, "--out", (dir / "gone.mov").string()});
  // Once a fifth of the window is copied, the DVR disappears.
  auto progressed = cli->wait_for_line(
      Stream::kStdout,
      [](std::string_view l) {
        return l.starts_with("progress=") && std::atoi(std::string(l.substr(9)).c_str()) >= 20;
      },
      kDeadline);
  ASSERT_TRUE(progressed) << cli->all_output();
  dvr.process->kill_now();
  auto status = cli->wait_exit(60s);
  ASSERT_TRUE(status && status->exited) << cli->all_output();
  EXPECT_EQ(status->code, 1);
  const std::string out = cli->output(Stream::kStdout);
  EXPECT_NE(cli->output(Stream::kStderr).find("stopped sending"), std::string::npos)
      << cli->all_output();
  const auto files = files_of(out);
  ASSERT_EQ(files.size(), 1u) << out;
  EXPECT_EQ(out.find("not closed"), std::string::npos) << out;
  const auto streams = probe(files[0]);
  const StreamInfo* video = find_stream(streams, "video");
  ASSERT_NE(video, nullptr);
  EXPECT_GT(video->duration, 0.2 * 2400 - 5);
  EXPECT_EQ(decode_errors(files[0]), "");
}

TEST_F(BackupFixture, BadInputIsRefusedBeforeTheDvrIsAsked) {
  // Nothing listens here: a refusal must come before any connection attempt.
  const std::string nowhere = "127.0.0.1:1";
  const std::string from = yesterday_at(12, 0), to = yesterday_at(12, 5);
  fs::create_directories(dir / "ro");
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  struct Case {
    std::string from, to, out, message;
  } cases[] = {
      {"2024/13/01 00:00:00", to, (dir / "a.mov").string(), "bad --from"},
      {from, "yesterday", (dir / "a.mov").string(), "bad --to"},
      {to, from, (dir / "a.mov").string(), "--to must be later than --from"},
      {from, from, (dir / "a.mov").string(), "--to must be later than --from"},
      {from, to, (dir / "a.avi").string(), "must name a .mov file"},
      {from, to, (dir / "missing" / "a.mov").string(), "does not exist"},
      {from, to, (dir / "ro" / "a.mov").string(), "not writable"},
  };
  const bool root = ::geteuid() == 0;  // root writes anywhere
  for (const Case& c : cases) {
    if (root && c.message == "not writable") continue;
    SCOPED_TRACE(c.message);
    std::string out, err;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run_cli({"backup", "--dvr", nowhere, "--uk", "x", "--channel", "1", "--from", c.from,
                       "--to", c.to, "--out", c.out},
                      &out, &err),
              2);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  }
  fs::permissions(dir / "ro", fs::perms::owner_all);
}

}  // namespace
}  // namespace tessomar::e2e
