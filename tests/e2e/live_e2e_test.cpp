// Live video as a user sees it: tessomar-cli live against the simulated DVR, with the
// snapshot read back by ffmpeg and checked against the simulator's channel colours.
#include <cstdio>
#include <string>

#include "dvrsim/scene.h"
#include "e2e/e2e_support.h"
#include "e2e/picture_check.h"

namespace tessomar::e2e {
namespace {

struct LiveCase {
  const char* name;
  std::vector<std::string> dvr_options;
  std::string view;
  int tiles_per_row;   // 1 single channel, 2 four-way, 3 nine-way, 4 sixteen-way
  int first_channel;   // of the top-left tile
  int picture_height;  // 576 PAL, 480 NTSC (drawn with grey bands above and below)
};

class LiveVideo : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveVideo, SnapshotShowsTheRequestedChannels) {
  const LiveCase& c = GetParam();
  Dvr dvr;
  ASSERT_TRUE(dvr.start(c.dvr_options));
  std::string snap = ::testing::TempDir() + "tessomar_live_" + c.name + ".png";
  std::string out, err;
  int rc = run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", c.view, "--seconds",
                    "4", "--timeout", "30", "--snapshot", snap, "--stats"},
                   &out, &err);
  ASSERT_EQ(rc, 0) << out << err << dvr.process->all_output();
  EXPECT_NE(out.find("presented="), std::string::npos);
  Rgb24 img;
  ASSERT_TRUE(read_png(snap, img)) << snap;

  const int top = (576 - c.picture_height) / 2;
  if (top > 0) {
    // The grey frame around a picture shorter than the view.
    dvrsim::Rgb g = img.at(352, top / 2);
    EXPECT_EQ(g.r, 0x3C);
    EXPECT_EQ(g.g, 0x3C);
    EXPECT_EQ(g.b, 0x3C);
  }
  const int tile_w = 704 / c.tiles_per_row;
  const int tile_h = c.picture_height / c.tiles_per_row;
  const int band = dvrsim::band_height(tile_h);
  // The right part of each band is plain colour: sample it in the first two tiles of the
  // top row (one for a single channel).
  for (int t = 0; t < std::min(c.tiles_per_row, 2); ++t) {
    int x = t * tile_w + tile_w * 3 / 4;
    int y = top + band / 2;
    EXPECT_EQ(nearest_channel(img.at(x, y)), c.first_channel + t) << c.name << " tile " << t;
  }
  std::remove(snap.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Views, LiveVideo,
    ::testing::Values(
        LiveCase{"single_ch6_pal_gen2", {"--generation", "2"}, "5", 1, 5, 576},
        LiveCase{
            "single_ch3_ntsc_gen1", {"--standard", "ntsc", "--generation", "1"}, "2", 1, 2, 480},
        LiveCase{"four_way_second_page", {}, "17", 2, 4, 576},
        LiveCase{"nine_way", {"--generation", "1"}, "20", 3, 0, 576},
        LiveCase{"sixteen_way_ntsc", {"--standard", "ntsc"}, "22", 4, 0, 480}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// The dumped stream is what the control decoded: every picture it drew, readable by ffmpeg
// at the live picture's size.
TEST(LiveVideoDump, DumpedStreamDecodesToThePicturesDrawn) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({}));
  const std::string dump = ::testing::TempDir() + "tessomar_live_dump.h264";
  std::string out, err;
  ASSERT_EQ(run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", "0", "--seconds",
                     "3", "--timeout", "30", "--stats", "--dump-video", dump},
                    &out, &err),
            0)
      << out << err;
  const size_t at = out.find("drawn=");
  ASSERT_NE(at, std::string::npos) << out;
  const long drawn = std::stol(out.substr(at + 6));
  std::string probe;
  ASSERT_EQ(run_tool({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                      "-show_entries", "stream=codec_name,width,height,nb_read_frames", "-of",
                      "csv=p=0", dump},
                     &probe, &err),
            0)
      << err;
  // codec,width,height,frames; the pictures drawn are at most those decoded.
  int w = 0, h = 0;
  long frames = 0;
  char codec[16] = {};
  ASSERT_EQ(std::sscanf(probe.c_str(), "%15[^,],%d,%d,%ld", codec, &w, &h, &frames), 4) << probe;
  EXPECT_STREQ(codec, "h264");
  EXPECT_EQ(w, 704);
  EXPECT_EQ(h, 576);
  EXPECT_GE(frames, drawn);
  EXPECT_GT(drawn, 25);
  std::remove(dump.c_str());
}

TEST(LiveVideoErrors, RefusalAndBadViewsAreFailures) {
  Dvr dvr, other;
  ASSERT_TRUE(dvr.start({"--password", "1111"}));
  ASSERT_TRUE(other.start({"--password", "2222"}));
  std::string out, err;
  EXPECT_EQ(run_cli({"live", "--dvr", dvr.address, "--uk", other.dvr_uk, "--seconds", "1",
                     "--timeout", "20"},
                    &out, &err),
            1);
  EXPECT_NE(err.find("refused"), std::string::npos) << err;
  EXPECT_EQ(run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", "23"}, &out, &err),
            2);
}

}  // namespace
}  // namespace tessomar::e2e
