// The control hosted the viewer's way (Qt loop, binder, form timers) against the simulated
// DVR running as a child process.
#include "viewer_host.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <chrono>
#include <string>
#include <vector>

#include "demo_simulator.h"
#include "platform/environment.h"
#include "support/process.h"

namespace tessomar::viewer {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::Stream;

const std::string kBin = TESSOMAR_BIN_DIR;
// Generous: the machines are shared and slow at times.
constexpr int kDeadlineMs = 30000;

// Decoded pictures reach Image_video once the video pipeline is wired into the control;
// until then the picture test has nothing to look at.
constexpr bool kVideoWired = true;

class ViewerHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim.start({kBin + "/tessomar-dvrsim", "--listen", "127.0.0.1:0"}, &error)) << error;
    auto l = sim.wait_for_line(Stream::kStdout, "listening on ", 30s);
    auto k = sim.wait_for_line(Stream::kStdout, "DVR_UK=", 30s);
    ASSERT_TRUE(l && k) << sim.all_output();
    const std::string address = l->text.substr(std::string("listening on ").size());
    port = address.substr(address.rfind(':') + 1);
    dvr_uk = k->text.substr(std::string("DVR_UK=").size());
    host.on_event = [this](std::string_view e) { events.emplace_back(e); };
  }

  bool saw_event_starting(std::string_view prefix) const {
    for (const auto& e : events) {
      if (e.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  bool start_against_sim() {
    std::vector<std::string> failures;
    const bool ok =
        host.start({{"DVRIP", "127.0.0.1"}, {"HTTP_PORT", port}, {"DVR_UK", dvr_uk}}, failures);
    for (const auto& f : failures) ADD_FAILURE() << f;
    if (ok) host.binder().root()->show();
    return ok;
  }
  bool shown(const char* name) {
    QWidget* w = host.binder().widget(name);
    return w && w->isVisibleTo(host.binder().root());
  }
  // True as soon as Image_video's widget shows any pixel that is not black.
  bool wait_for_picture(int timeout_ms) {
    return host.loop().run_until(
        [this] {
          const QImage shot = host.binder().widget("Image_video")->grab().toImage();
          for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
              if ((shot.pixel(x, y) & 0x00FFFFFFu) != 0) return true;
            }
          }
          return false;
        },
        timeout_ms);
  }

  ChildProcess sim;
  std::string port;
  std::string dvr_uk;
  platform::MapEnvironment environment;
  shell::InstanceGuard guard{[](int) { ADD_FAILURE() << "second control start-up"; }};
  platform::Logger logger;
  ViewerHost host{environment, guard, logger};
  std::vector<std::string> events;
};

TEST_F(ViewerHostTest, ConnectsAndShowsTheConnectedIcon) {
  ASSERT_TRUE(start_against_sim());
  auto* status = qobject_cast<QLabel*>(host.binder().widget("Label_time"));
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text(), "Connecting ...");
  EXPECT_EQ(qobject_cast<QLabel*>(host.binder().widget("Label_Version"))->text(), "Ver.030202");
  EXPECT_TRUE(shown("Image_Disconn"));
  EXPECT_FALSE(shown("Image_Conn"));
  EXPECT_FALSE(shown("PageControl1"));  // setup pages wait for Setup mode
  EXPECT_EQ(host.binder().root()->size(), QSize(1024, 616));
  EXPECT_EQ(host.binder().widget("Image_video")->geometry(), QRect(0, 0, 704, 576));

  ASSERT_TRUE(
      host.loop().run_until([&] { return saw_event_starting("session established"); }, kDeadlineMs))
      << "events seen: " << testing::PrintToString(events) << "\n"
      << sim.all_output();
  EXPECT_TRUE(shown("Image_Conn"));
  EXPECT_FALSE(shown("Image_Disconn"));
  // Our own icon: a green dot in the middle of the picture.
  const QImage icon = host.binder().widget("Image_Conn")->grab().toImage();
  const QColor centre = icon.pixelColor(icon.width() / 2, icon.height() / 2);
  EXPECT_GT(centre.green(), 2 * centre.red()) << centre.name().toStdString();

  // Closing: the control and its widgets go; the simulator sees the connection end.
  host.shutdown();
  EXPECT_FALSE(host.running());
}

TEST_F(ViewerHostTest, LiveVideoReachesTheVideoPicture) {
  if (!kVideoWired) GTEST_SKIP() << "the control does not decode video yet";
  ASSERT_TRUE(start_against_sim());
  EXPECT_TRUE(wait_for_picture(kDeadlineMs)) << sim.all_output();
}

// The key form beside the video: drawn from our skin, a click on a channel key through the
// widget chooses that channel, and leaving the picture clears the hover mark.
TEST_F(ViewerHostTest, KeyFormTakesThePointer) {
  environment.set("systemroot", kBin + "/../data");
  ASSERT_TRUE(start_against_sim());
  keyform::KeyForm& key_form = host.control().key_form();
  ASSERT_GT(key_form.engine().slots_in_use(), 0) << "our skin was not registered";
  ASSERT_TRUE(
      host.loop().run_until([&] { return key_form.variables().ie_m_ch == 16; }, kDeadlineMs))
      << sim.all_output();
  QWidget* image1 = host.binder().widget("Image1");
  ASSERT_NE(image1, nullptr);
  EXPECT_EQ(image1->geometry(), QRect(704, 0, 320, 576));

  auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), QPointF(image1->mapToGlobal(at)), Qt::LeftButton, buttons,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(image1, &e);
  };
  const QPoint sixth_channel(121, 206);
  send(QEvent::MouseMove, sixth_channel, Qt::NoButton);
  send(QEvent::MouseButtonPress, sixth_channel, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, sixth_channel, Qt::NoButton);
  EXPECT_EQ(key_form.variables().ie_doing, 5);
  EXPECT_EQ(host.control().icmd().session(0).mode, channels::kModeLive);
  EXPECT_GE(key_form.context().hover.slot, 0);
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(image1, &leave);
  EXPECT_EQ(key_form.context().hover.slot, -1);

  // The status line is light on the main form's dark strip.
  auto* status = qobject_cast<QLabel*>(host.binder().widget("Label_time"));
  EXPECT_GE(status->palette().color(QPalette::WindowText).lightness(), 160);
}

TEST(DemoSimulatorTest, StartsAnnouncesAndStops) {
  DemoSimulator sim;
  std::string error;
  ASSERT_TRUE(sim.start(kBin + "/tessomar-dvrsim", kDeadlineMs, error)) << error;
  EXPECT_EQ(sim.host(), "127.0.0.1");
  EXPECT_GT(std::stoi(sim.port()), 0);
  EXPECT_FALSE(sim.dvr_uk().empty());
  const pid_t pid = sim.pid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(::kill(pid, 0), 0);
  sim.stop();
  EXPECT_EQ(sim.pid(), -1);
  EXPECT_EQ(sim.stdout_fd(), -1);
  // Reaped, not just signalled.
  EXPECT_EQ(::kill(pid, 0), -1);

  DemoSimulator missing;
  EXPECT_FALSE(missing.start(kBin + "/no-such-simulator", 1000, error));
  EXPECT_NE(error.find("no-such-simulator"), std::string::npos) << error;
}

}  // namespace
}  // namespace tessomar::viewer
