// The tessomar executable itself: options, the demo with its own simulator, the screenshot.
#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <string>
#include <vector>

#include "qt_dialogs.h"
#include "support/process.h"

namespace tessomar::viewer {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::ExitStatus;
using testsupport::Stream;

const std::string kBin = TESSOMAR_BIN_DIR;

ExitStatus run_viewer(const std::vector<std::string>& args, ChildProcess& p,
                      std::chrono::milliseconds timeout = 60s) {
  std::vector<std::string> argv{kBin + "/tessomar"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  EXPECT_TRUE(p.start(argv, &error, {"QT_QPA_PLATFORM=offscreen"})) << error;
  auto status = p.wait_exit(timeout);
  EXPECT_TRUE(status.has_value()) << p.all_output();
  return status.value_or(ExitStatus{});
}

TEST(ViewerMain, OptionsAreCheckedBeforeAnythingStarts) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;  // expected in stdout + stderr
  };
  const Case cases[] = {
      {{"--help"}, 0, "tessomar --demo"},
      {{"--version"}, 0, "Ver.030202"},
      {{}, 2, "no DVR given"},
      {{"--dvr", "nocolon"}, 2, "HOST:PORT"},
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"--dvr", "127.0.0.1:1", "--quit-after", "soon"}, 2, "bad --quit-after"},
      {{"--param", "COLOR=red"}, 2, "unknown parameter COLOR"},
      {{"--dvr", "127.0.0.1:1", "--click", "400,10"}, 2, "bad --click"},
      {{"/no/such/page.html"}, 1, "page.html"},
  };
  for (const auto& c : cases) {
    ChildProcess p;
    const ExitStatus s = run_viewer(c.args, p);
    EXPECT_EQ(s, (ExitStatus{true, c.status, 0})) << testing::PrintToString(c.args);
    EXPECT_NE(p.all_output().find(c.output), std::string::npos)
        << testing::PrintToString(c.args) << "\n"
        << p.all_output();
  }
}

TEST(ViewerMain, DemoConnectsToItsSimulatorAndSavesAScreenshot) {
  const std::string shot = ::testing::TempDir() + "tessomar_demo_shot.png";
  std::remove(shot.c_str());
  ChildProcess p;
  // Long enough for the session to come up on a busy machine; the status bar then shows it.
  // The clicks open the Playback page's calendar through the key form's widget.
  const ExitStatus s = run_viewer({"--demo", "--screenshot", shot, "--quit-after", "6", "--click",
                                   "121,66", "--click", "50,455"},
                                  p);
  EXPECT_EQ(s, (ExitStatus{true, 0, 0})) << p.all_output();
  const std::string out = p.all_output();
  EXPECT_NE(out.find("demo: simulated DVR on 127.0.0.1:"), std::string::npos) << out;
  EXPECT_NE(out.find("session established"), std::string::npos) << out;
  QImage image(QString::fromStdString(shot));
  ASSERT_FALSE(image.isNull()) << out;
  EXPECT_GE(image.width(), 1024);
  EXPECT_GE(image.height(), 616);
  // The live picture reached the video area: the top band of the first tile is channel 1's
  // colour, not the black of an empty picture.
  int lit = 0;
  for (int y = 0; y < 576; y += 8)
    for (int x = 0; x < 704; x += 8) lit += image.pixelColor(x, y) != QColor(0, 0, 0);
  EXPECT_GT(lit, 704 * 576 / 64 / 2) << out;
  // The calendar's OK button (key form 236, 388, beside the 704-pixel video) is drawn in the
  // skin's accent blue; with the calendar closed that place is the dark panel.
  const QColor ok = image.pixelColor(704 + 236 - 40, 388);
  EXPECT_GT(ok.blue(), ok.red() + 80) << out;
}

TEST(QtFileFilter, TurnsPairsIntoQtFilters) {
  const std::pair<const char*, const char*> cases[] = {
      {"Movie files (*.mov)|*.mov", "Movie files (*.mov)"},
      {"Movie files|*.mov|All files|*", "Movie files (*.mov);;All files (*)"},
      {"Titles|*.txt;*.ttl", "Titles (*.txt *.ttl)"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(qt_file_filter(in).toStdString(), out) << in;
}

}  // namespace
}  // namespace tessomar::viewer
