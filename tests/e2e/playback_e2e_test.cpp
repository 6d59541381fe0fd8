// Playback as a user runs it: tessomar-cli playback against the simulator's recording archive.
#include <ctime>

#include "e2e/e2e_support.h"
#include "platform/clock.h"
#include "platform/devtime.h"

namespace tessomar::e2e {
namespace {

// "YYYY/MM/DD hh:mm:ss" of yesterday at the given time of day, local time (the simulator's
// archive holds the last 14 days up to now).
std::string yesterday_at(int hour, int minute) {
  std::time_t now = std::time(nullptr) - 86400;
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:00", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, hour, minute);
  return buf;
}

uint32_t seconds_of(const std::string& text) {
  platform::LocalDateTime d;
  EXPECT_TRUE(platform::parse_time_text(text, d)) << text;
  return platform::seconds_from_date(d);
}

// The device times printed as "time=..." (pictures shown), in order.
std::vector<uint32_t> shown_times(const std::string& out) {
  std::vector<uint32_t> t;
  size_t pos = 0;
  while ((pos = out.find("time=", pos)) != std::string::npos) {
    std::string v = out.substr(pos + 5, 19);
    if (v[0] != '-' && (pos == 0 || out[pos - 1] == '\n')) t.push_back(seconds_of(v));
    pos += 5;
  }
  return t;
}

struct PlaybackFixture : ::testing::Test {
  Dvr dvr;
  void SetUp() override { ASSERT_TRUE(dvr.start()); }
  std::string play(std::vector<std::string> extra, int expect_rc = 0) {
    std::vector<std::string> a{"playback",  "--dvr", dvr.address, "--uk", dvr.dvr_uk,
                               "--channel", "1",     "--timeout", "30"};
    a.insert(a.end(), extra.begin(), extra.end());
    std::string out, err;
    EXPECT_EQ(run_cli(a, &out, &err), expect_rc) << out << err;
    return out;
  }
};

TEST_F(PlaybackFixture, PlaysFromTheTimeAtRealPace) {
  std::string from = yesterday_at(12, 0);
  auto t = shown_times(play({"--from", from, "--seconds", "6"}));
  ASSERT_GE(t.size(), 3u);
  uint32_t start = seconds_of(from);
  EXPECT_GE(t.front(), start);
  EXPECT_LE(t.front(), start + 2);
  // Advances with the clock: about one second per second (slow machines lag a little).
  uint32_t advanced = t.back() - t.front();
  EXPECT_GE(advanced, 2u);
  EXPECT_LE(advanced, uint32_t(t.size()) + 1);
}

TEST_F(PlaybackFixture, PauseHoldsTheTime) {
  std::string out = play(
      {"--from", yesterday_at(12, 0), "--seconds", "6", "--switch-after", "3", "--then", "pause"});
  size_t cut = out.find("action=");
  ASSERT_NE(cut, std::string::npos);
  auto after = shown_times(out.substr(cut));
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after.front(), after.back()) << out;
}

TEST_F(PlaybackFixture, ReverseGoesBack) {
  std::string from = yesterday_at(12, 0);
  auto t = shown_times(play({"--from", from, "--action", "reverse", "--seconds", "5"}));
  ASSERT_GE(t.size(), 2u);
  EXPECT_LT(t.back(), t.front());
  EXPECT_LE(t.front(), seconds_of(from));
}

TEST_F(PlaybackFixture, AGapResumesAtTheNextRecording) {
  // Channel 1 records nothing from 06:30 to 06:59:59 each day.
  auto t = shown_times(play({"--from", yesterday_at(6, 45), "--seconds", "4"}));
  ASSERT_FALSE(t.empty());
  EXPECT_GE(t.front(), seconds_of(yesterday_at(7, 0)));
  EXPECT_LE(t.front(), seconds_of(yesterday_at(7, 0)) + 3);
}

TEST_F(PlaybackFixture, BackToLiveShowsLivePicturesAgain) {
  std::string from = yesterday_at(12, 0);
  std::string out, err;
  ASSERT_EQ(run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", "0",
                     "--from-playback", from, "--seconds", "3", "--timeout", "30"},
                    &out, &err),
            0)
      << out << err;
  size_t p = out.find("playback_time=");
  ASSERT_NE(p, std::string::npos) << out;
  uint32_t played = seconds_of(out.substr(p + 14, 19));
  EXPECT_GE(played, seconds_of(from));
  EXPECT_LE(played, seconds_of(from) + 4);
  // The last picture is live again: it shows the present, not the recording.
  auto t = shown_times(out.substr(out.find('\n', p)));
  ASSERT_FALSE(t.empty()) << out;
  platform::SystemClock clock;
  uint32_t now = platform::deviceTimeNow(clock);
  EXPECT_LE(t.back(), now + 1);
  EXPECT_GE(t.back() + 60, now);
}

TEST_F(PlaybackFixture, BadInputIsAUsageError) {
  play({"--from", "2026/13/01 00:00:00"}, 2);
  play({"--from", yesterday_at(12, 0), "--action", "sideways"}, 2);
  play({"--seconds", "1"}, 2);
}

}  // namespace
}  // namespace tessomar::e2e

namespace tessomar::e2e {
namespace {

TEST(PlaybackRecovery, ALostConnectionResumesPlaybackNearTheTimeShown) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--fault-close-after", "120"}));
  const std::string from = yesterday_at(12, 0);
  std::string out, err;
  ASSERT_EQ(run_cli({"playback", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--channel", "1",
                     "--timeout", "30", "--from", from, "--seconds", "9"},
                    &out, &err),
            0)
      << out << err;
  EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "closing after", kDeadline))
      << dvr.process->all_output();
  // Never back to Live, never back to the start: the times go on from where they were.
  EXPECT_EQ(out.find("time=Live"), std::string::npos) << out;
  auto t = shown_times(out);
  ASSERT_GE(t.size(), 4u) << out;
  const uint32_t start = seconds_of(from);
  for (size_t i = 0; i < t.size(); ++i) {
    EXPECT_GE(t[i], start) << out;
    EXPECT_LE(t[i], start + 12) << out;
    if (i > 0) {
      EXPECT_GE(t[i] + 1, t[i - 1]) << out;
    }
  }
  EXPECT_GE(t.back(), start + 5) << out;
}

}  // namespace
}  // namespace tessomar::e2e
