// The key form as a user drives it: tessomar-cli keyform clicks our skin's keys against the
// simulated DVR, which prints every view state the control sets; the video snapshot shows the
// channel the keys chose.
#include <filesystem>

#include "e2e/e2e_support.h"
#include "e2e/picture_check.h"

namespace tessomar::e2e {
namespace {

// Centres of our skin's keys in the 320 x 576 key form.
struct Point {
  int x, y;
};
std::string at(Point p) { return std::to_string(p.x) + "," + std::to_string(p.y); }
constexpr Point kLiveTab{43, 66};
constexpr Point kPlaybackTab{121, 66};
Point channel_key(int channel) { return {43 + 78 * (channel % 4), 128 + 78 * (channel / 4)}; }
constexpr Point kFourWayFrom4{121, 465};
constexpr Point kSixteenWay{199, 521};

struct KeyFormRun {
  int code = -1;
  std::string out, err;
};

// Runs keyform against the DVR with these pointer options, a snapshot and a wait long enough
// for the chosen channel's pictures.
KeyFormRun keyform(const Dvr& dvr, std::vector<std::string> actions,
                   const std::string& snapshot = "") {
  std::vector<std::string> args{"keyform",  "--dvr",     dvr.address, "--uk",
                                dvr.dvr_uk, "--png",     "/dev/null", "--wait",
                                "3",        "--timeout", "30"};
  args.insert(args.end(), actions.begin(), actions.end());
  if (!snapshot.empty()) {
    args.push_back("--snapshot");
    args.push_back(snapshot);
  }
  KeyFormRun r;
  r.code = run_cli(args, &r.out, &r.err);
  return r;
}

// The channel whose band the top-left tile of the snapshot shows.
int shown_channel(const std::string& snapshot) {
  Rgb24 img;
  if (!read_png(snapshot, img)) return -1;
  return nearest_channel(img.at(704 * 3 / 4, 10));
}

// Index of the first simulator line from `from` on that contains the text, or -1.
int sim_line(const Dvr& dvr, const std::string& text, size_t from = 0) {
  auto m = dvr.process->wait_for_line(Stream::kStdout, text, kDeadline, from);
  return m ? int(m->index) : -1;
}

TEST(KeyFormE2e, ChannelKeySelectsThatChannel) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--log-view-sets"}));
  const std::string snap = ::testing::TempDir() + "tessomar_keyform_ch6.png";
  KeyFormRun r = keyform(dvr, {"--click", at(channel_key(5))}, snap);
  ASSERT_EQ(r.code, 0) << r.out << r.err << dvr.process->all_output();
  // The identity's first view (the four-way page from channel 1), then the key's.
  const int first = sim_line(dvr, "view set: live layout=1 first=0");
  ASSERT_GE(first, 0) << dvr.process->all_output();
  EXPECT_GT(sim_line(dvr, "view set: live layout=0 first=0 channel=5", size_t(first)), first)
      << dvr.process->all_output();
  EXPECT_NE(r.out.find("IE_DOING#SD=5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("IE_CH#ADN[5]=1\n"), std::string::npos) << r.out;
  EXPECT_EQ(shown_channel(snap), 5);
  std::filesystem::remove(snap);
}

TEST(KeyFormE2e, SplitKeyThenVideoClickPicksTheTile) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--log-view-sets"}));
  const std::string snap = ::testing::TempDir() + "tessomar_keyform_tile.png";
  // The lower right tile of the sixteen-way page is channel 16.
  KeyFormRun r = keyform(dvr, {"--click", at(kSixteenWay), "--video-click", "600,500"}, snap);
  ASSERT_EQ(r.code, 0) << r.out << r.err << dvr.process->all_output();
  const int split = sim_line(dvr, "view set: live layout=3 first=0");
  ASSERT_GE(split, 0) << dvr.process->all_output();
  EXPECT_GT(sim_line(dvr, "view set: live layout=0 first=0 channel=15", size_t(split)), split)
      << dvr.process->all_output();
  EXPECT_NE(r.out.find("IE_DOING#SD=15\n"), std::string::npos) << r.out;
  EXPECT_EQ(shown_channel(snap), 15);
  std::filesystem::remove(snap);
}

TEST(KeyFormE2e, PageRoundTripRestoresTheLiveView) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--log-view-sets"}));
  KeyFormRun r = keyform(
      dvr, {"--click", at(kFourWayFrom4), "--click", at(kPlaybackTab), "--click", at(kLiveTab)});
  ASSERT_EQ(r.code, 0) << r.out << r.err << dvr.process->all_output();
  const int split = sim_line(dvr, "view set: live layout=1 first=4");
  ASSERT_GE(split, 0) << dvr.process->all_output();
  const int playback = sim_line(dvr, "view set: playback", size_t(split));
  ASSERT_GT(playback, split) << dvr.process->all_output();
  EXPECT_GT(sim_line(dvr, "view set: live layout=1 first=4", size_t(playback)), playback)
      << dvr.process->all_output();
  EXPECT_NE(r.out.find("IE_DOING#SD=17\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("IE_Page2#SD="), std::string::npos) << r.out;  // back on Live
}

TEST(KeyFormE2e, KeysBeyondTheChannelCountAreHidden) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--log-view-sets", "--channels", "4"}));
  KeyFormRun r = keyform(dvr, {"--click", at(channel_key(5)), "--click", at(channel_key(2))});
  ASSERT_EQ(r.code, 0) << r.out << r.err << dvr.process->all_output();
  ASSERT_GE(sim_line(dvr, "view set: live layout=0 first=0 channel=2"), 0)
      << dvr.process->all_output();
  EXPECT_EQ(dvr.process->output(Stream::kStdout).find("channel=5"), std::string::npos);
  EXPECT_NE(r.out.find("IE_DOING#SD=2\n"), std::string::npos) << r.out;
}

TEST(KeyFormE2e, BadPointsAndAMissingSkinAreRefused) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  std::string out, err;
  EXPECT_EQ(run_cli({"keyform", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--png", "/dev/null",
                     "--click", "320,10"},
                    &out, &err),
            2);
  EXPECT_NE(err.find("outside the key form"), std::string::npos) << err;
  EXPECT_EQ(run_cli({"keyform", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--png", "/dev/null",
                     "--hold", "10,10"},
                    &out, &err),
            2);

  // A data folder without the skin file.
  const std::string empty = ::testing::TempDir() + "tessomar_no_skin";
  std::filesystem::create_directories(empty + "/system32");
  auto p = std::make_unique<ChildProcess>();
  std::string error;
  ASSERT_TRUE(p->start({kBin + "/tessomar-cli", "keyform", "--dvr", dvr.address, "--uk", dvr.dvr_uk,
                        "--png", "/dev/null"},
                       &error, {"systemroot=" + empty}))
      << error;
  auto status = p->wait_exit(60s);
  ASSERT_TRUE(status && status->exited);
  EXPECT_EQ(status->code, 1);
  EXPECT_NE(p->output(Stream::kStderr).find("no key form"), std::string::npos)
      << p->output(Stream::kStderr);
}

}  // namespace
}  // namespace tessomar::e2e
