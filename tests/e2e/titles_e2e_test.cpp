// Channel titles across the wire: the CLI renders and uploads a title, the simulated DVR draws
// it on the channel's live picture, keeps it across a restart with --data-dir, and title files
// move both ways.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e/e2e_support.h"
#include "e2e/picture_check.h"
#include "platform/dialogs.h"
#include "platform/form.h"
#include "setup/title_editor.h"
#include "shell/form_description.h"

namespace tessomar::e2e {
namespace {

std::vector<std::string> titles_args(const Dvr& dvr, std::vector<std::string> rest) {
  std::vector<std::string> a{"titles",    "--dvr", "127.0.0.1:" + dvr.port, "--uk", dvr.dvr_uk,
                             "--timeout", "30"};
  a.insert(a.end(), rest.begin(), rest.end());
  return a;
}

std::map<std::string, std::string> parse_lines(const std::string& out) {
  std::map<std::string, std::string> m;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

// The class-0 bitmap this text gets in bold DejaVu Sans at a size, rendered here on our own.
std::vector<uint8_t> expected_bitmap(const std::string& text, int percent) {
  platform::Logger logger;
  platform::HeadlessDialogs dialogs(logger);
  platform::Form form;
  auto rows = shell::main_form_description();
  form.build(rows.data(), rows.size());
  channels::TitleTransfer transfer;
  setup::TitleEditor editor(form, dialogs, logger, transfer);
  editor.prepare();
  editor.set_channel_count(16);
  editor.set_font({setup::kDefaultFontFamily, true});
  form["Edit_TFS"].set_caption(std::to_string(percent));
  form["Edit_TFS"].fire("OnChange");
  form["LabeledEdit_Title1"].set_caption(text);
  editor.store(0);
  editor.render_tick();
  auto b = transfer.set.bitmap(0, 0);
  return {b.begin(), b.end()};
}

bool bit(const std::vector<uint8_t>& bm, int x, int y) {
  if (x < 0 || y < 0 || x >= 448 || y >= 56) return false;
  return (bm[size_t(y) * 56 + size_t(x / 8)] >> (x % 8)) & 1;
}

TEST(TitlesE2e, UploadedTitleShowsOnTheLivePictureAndSurvivesARestart) {
  const std::string dir = ::testing::TempDir() + "titles-e2e-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  const std::string text = "GATE 3";
  {
    Dvr dvr;
    ASSERT_TRUE(dvr.start({"--data-dir", dir}));
    std::string out, err;
    ASSERT_EQ(run_cli(titles_args(dvr, {"set", "--channel", "3", "--text", text, "--size", "100",
                                        "--font", "DejaVu Sans:bold"}),
                      &out, &err),
              0)
        << err;
    EXPECT_NE(out.find("upload 100%"), std::string::npos) << out;

    // Channel 3 alone (view 2): its title box shows the bitmap, white where bits are set.
    const std::string png =
        ::testing::TempDir() + "titles-e2e-" + std::to_string(getpid()) + ".png";
    std::vector<std::string> live{"live",       "--dvr",     "127.0.0.1:" + dvr.port,
                                  "--uk",       dvr.dvr_uk,  "--view",
                                  "2",          "--seconds", "2",
                                  "--snapshot", png};
    ASSERT_EQ(run_cli(live, &out, &err), 0) << err;
    Rgb24 img;
    ASSERT_TRUE(read_png(png, img));
    std::remove(png.c_str());
    const std::vector<uint8_t> bm = expected_bitmap(text, 100);
    const dvrsim::TitleBox box = dvrsim::title_box(img.width, img.height);
    int bright_agree = 0, dark_agree = 0, bright_total = 0, dark_total = 0;
    for (int y = 0; y < box.height; ++y) {
      for (int x = 0; x < box.width; ++x) {
        const int sx = x * 448 / box.width;
        const int sy = y * 56 / box.height;
        // Judge only pixels whose whole neighbourhood in the bitmap agrees; edges blur in H.264.
        int set = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) set += bit(bm, sx + dx, sy + dy);
        }
        if (set != 0 && set != 9) continue;
        (set == 9 ? bright_total : dark_total)++;
        const dvrsim::Rgb p = img.at(box.x + x, box.y + y);
        const int luma = (p.r + p.g + p.b) / 3;
        if (set == 9 && luma > 150) ++bright_agree;
        if (set == 0 && luma < 90) ++dark_agree;
      }
    }
    EXPECT_GT(bright_agree, 50) << "text pixels are white";
    // Exact agreement is usual; one wrong letter ("GATE 8") leaves 96 % of the text pixels.
    EXPECT_GE(bright_agree * 100, bright_total * 99);
    EXPECT_GE(dark_agree * 1000, dark_total * 998);

    ASSERT_TRUE(dvr.process->send_signal(SIGTERM));
    auto status = dvr.process->wait_exit(kDeadline);
    ASSERT_TRUE(status && status->exited);
  }
  Dvr again;
  ASSERT_TRUE(again.start({"--data-dir", dir}));
  std::string out, err;
  ASSERT_EQ(run_cli(titles_args(again, {"get"}), &out, &err), 0) << err;
  const auto values = parse_lines(out);
  EXPECT_EQ(values.at("ch3"), text);
  EXPECT_EQ(values.at("ch1"), "");
  EXPECT_EQ(values.at("size"), "100");
  EXPECT_EQ(values.at("font"), setup::kDefaultFontFamily);
  EXPECT_EQ(values.at("style"), "bold");
  std::filesystem::remove_all(dir);
}

TEST(TitlesE2e, TitleFilesSaveFromOneDvrAndLoadIntoAnother) {
  const std::string file =
      ::testing::TempDir() + "titles-e2e-" + std::to_string(getpid()) + ".vdtt";
  Dvr first;
  ASSERT_TRUE(first.start({"--channels", "8"}));
  std::string out, err;
  ASSERT_EQ(run_cli(titles_args(first, {"set", "--channel", "8", "--text",
                                        "\xD0\x9A\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x80\xD0\xB0",
                                        "--language", "russian", "--font", "DejaVu Sans:bold"}),
                    &out, &err),
            0)
      << err;
  // Channel 9 is not one of its channels: refused before anything is sent.
  EXPECT_EQ(run_cli(titles_args(first, {"set", "--channel", "9", "--text", "x"}), &out, &err), 2);
  EXPECT_NE(err.find("8 channels"), std::string::npos) << err;
  ASSERT_EQ(run_cli(titles_args(first, {"save", file}), &out, &err), 0) << err;

  // The file read on its own, then uploaded to a second DVR.
  ASSERT_EQ(run_cli({"titles", "load", file}, &out, &err), 0) << err;
  auto values = parse_lines(out);
  EXPECT_EQ(values.at("ch8"), "\xD0\x9A\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x80\xD0\xB0");
  EXPECT_EQ(values.at("style"), "bold");
  EXPECT_EQ(values.at("language"), "3 Russian");
  Dvr second;
  ASSERT_TRUE(second.start());
  ASSERT_EQ(run_cli(titles_args(second, {"load", file}), &out, &err), 0) << err;
  ASSERT_EQ(run_cli(titles_args(second, {"get"}), &out, &err), 0) << err;
  EXPECT_EQ(parse_lines(out), values);

  // A damaged file changes nothing on the DVR.
  std::filesystem::resize_file(file, 5000);
  EXPECT_EQ(run_cli(titles_args(second, {"load", file}), &out, &err), 2);
  EXPECT_NE(err.find("truncated"), std::string::npos) << err;
  std::remove(file.c_str());
}

TEST(TitlesE2e, BadInputExitsWithUsage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::string png = ::testing::TempDir() + "titles-e2e-bad.png";
  const Case cases[] = {
      {{"titles"}, "give get"},
      {{"titles", "preview", "--text", "\xD0\x9A", "--png", png}, "cannot show"},
      {{"titles", "preview", "--text", "A", "--png", png, "--size", "5"}, "bad --size"},
      {{"titles", "preview", "--text", "A", "--png", png, "--language", "Klingon"}, "--language"},
      {{"titles", "preview", "--text", "A", "--png", png, "--font", "DejaVu Sans:wobbly"},
       "bad --font"},
      {{"titles", "set", "--channel", "17", "--text", "A"}, "--channel"},
      {{"titles", "get"}, "needs the DVR"},
  };
  for (const Case& c : cases) {
    std::string out, err;
    EXPECT_EQ(run_cli(c.args, &out, &err), 2) << c.args.back();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  std::string out, err;
  ASSERT_EQ(run_cli({"titles", "preview", "--text", "Hall", "--png", png}, &out, &err), 0) << err;
  Rgb24 img{352, 44, {}};
  ASSERT_TRUE(read_png(png, img));
  EXPECT_EQ(img.at(0, 0).b, 0x80);  // the navy field
  std::remove(png.c_str());
}

}  // namespace
}  // namespace tessomar::e2e
