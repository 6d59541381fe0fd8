// The setup pages as real widgets over the video: entered from the key form's Setup tab,
// filled by typing, applied with the button; the simulated DVR keeps what was sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDialog>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "support/process.h"
#include "viewer_host.h"

namespace tessomar::viewer {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::Stream;

const std::string kBin = TESSOMAR_BIN_DIR;
constexpr int kDeadlineMs = 30000;
// Where the DDNS image lies in the simulator's settings file: after the file header, the
// bitrate and the PPPoE images.
constexpr size_t kDdnsInFile = 16 + 4 + 68;

class SetupPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ::testing::TempDir() + "viewer-setup-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::string error;
    ASSERT_TRUE(sim.start({kBin + "/tessomar-dvrsim", "--listen", "127.0.0.1:0", "--data-dir", dir},
                          &error))
        << error;
    auto l = sim.wait_for_line(Stream::kStdout, "listening on ", 30s);
    auto k = sim.wait_for_line(Stream::kStdout, "DVR_UK=", 30s);
    ASSERT_TRUE(l && k) << sim.all_output();
    const std::string address = l->text.substr(std::string("listening on ").size());
    port = address.substr(address.rfind(':') + 1);
    dvr_uk = k->text.substr(std::string("DVR_UK=").size());
    // "Setup Successful." is a modal box; a user would close it.
    closer.setInterval(50);
    QObject::connect(&closer, &QTimer::timeout, [this] {
      if (QWidget* box = QApplication::activeModalWidget()) {
        ++boxes_closed;
        if (qobject_cast<QFontDialog*>(box)) ++font_dialogs_closed;
        box->close();
      }
    });
    closer.start();
  }
  void TearDown() override {
    host.shutdown();
    std::filesystem::remove_all(dir);
  }

  std::vector<uint8_t> stored_ddns() {
    std::ifstream f(dir + "/settings.bin", std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
    if (bytes.size() < kDdnsInFile + 116) return {};
    return {bytes.begin() + kDdnsInFile, bytes.begin() + kDdnsInFile + 116};
  }
  static std::string text_at(const std::vector<uint8_t>& image, size_t at) {
    if (image.size() <= at) return {};
    return std::string(reinterpret_cast<const char*>(image.data() + at));
  }

  template <typename W>
  W* widget(const char* name) {
    auto* w = qobject_cast<W*>(host.binder().widget(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  // Types as a user would: key by key, so the edit reports each change.
  static void type_into(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QCoreApplication::sendEvent(edit, &del);
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QCoreApplication::sendEvent(edit, &press);
    }
  }

  std::string dir;
  ChildProcess sim;
  std::string port;
  std::string dvr_uk;
  QTimer closer;
  int boxes_closed = 0;
  int font_dialogs_closed = 0;
  platform::MapEnvironment environment;
  shell::InstanceGuard guard{[](int) { ADD_FAILURE() << "second control start-up"; }};
  platform::Logger logger;
  ViewerHost host{environment, guard, logger};
};

TEST_F(SetupPagesTest, DdnsTypedAndAppliedReachesTheDvr) {
  environment.set("systemroot", kBin + "/../data");
  std::vector<std::string> failures;
  ASSERT_TRUE(
      host.start({{"DVRIP", "127.0.0.1"}, {"HTTP_PORT", port}, {"DVR_UK", dvr_uk}}, failures));
  host.binder().root()->show();
  keyform::KeyForm& key_form = host.control().key_form();
  ASSERT_GT(key_form.engine().slots_in_use(), 0) << "our skin was not registered";
  ASSERT_TRUE(
      host.loop().run_until([&] { return key_form.variables().ie_m_ch == 16; }, kDeadlineMs))
      << sim.all_output();

  // The key form's Setup tab brings the pages up over the video.
  QWidget* image1 = host.binder().widget("Image1");
  const QPoint setup_tab(277, 66);
  for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent e(t, QPointF(setup_tab), QPointF(image1->mapToGlobal(setup_tab)), Qt::LeftButton,
                  t == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(image1, &e);
  }
  auto* pages = widget<QTabWidget>("PageControl1");
  ASSERT_TRUE(host.loop().run_until([&] { return pages->isVisible(); }, kDeadlineMs));
  EXPECT_EQ(pages->geometry(), QRect(0, 0, 704, 576));
  EXPECT_EQ(pages->tabText(3), "DDNS");
  EXPECT_EQ(pages->currentIndex(), 0);
  EXPECT_EQ(host.binder().edit_label("LabeledEdit_System1")->text(), "Remote IP : ");

  pages->setCurrentIndex(3);
  auto* user = widget<QLineEdit>("LabeledEdit_ddns2");
  auto* password = widget<QLineEdit>("LabeledEdit_ddns3");
  auto* host_name = widget<QLineEdit>("LabeledEdit_ddns4");
  auto* apply = widget<QPushButton>("Button_DDNS");
  ASSERT_TRUE(user->isVisible());
  // The DVR's answer to the tab's query re-enables it.
  ASSERT_TRUE(host.loop().run_until([&] { return user->isEnabled(); }, kDeadlineMs));
  EXPECT_EQ(host.binder().edit_label("LabeledEdit_ddns4")->text(), "DDNS Host Name");
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(widget<QPlainTextEdit>("Memo_DDNS")->isReadOnly());
  EXPECT_TRUE(
      widget<QPlainTextEdit>("Memo_DDNS")->toPlainText().contains("    DDNS User Name : guest1\n"));

  auto* providers = widget<QComboBox>("ComboBox_ddns1");
  ASSERT_EQ(providers->count(), 3);
  providers->setCurrentIndex(1);
  Q_EMIT providers->activated(1);
  EXPECT_TRUE(widget<QLabel>("Label_ddns2")->isEnabled());
  type_into(user, "guest1");
  type_into(password, "secret");
  type_into(host_name, "guest1.dyndns.org");
  EXPECT_EQ(host.control().form()["LabeledEdit_ddns4"].caption(), "guest1.dyndns.org");
  apply->click();

  ASSERT_TRUE(host.loop().run_until(
      [&] { return text_at(stored_ddns(), 68) == "guest1.dyndns.org"; }, kDeadlineMs))
      << sim.all_output();
  const std::vector<uint8_t> ddns = stored_ddns();
  EXPECT_EQ(ddns[2], 1);  // DynDNS
  EXPECT_EQ(text_at(ddns, 4), "guest1");
  EXPECT_EQ(text_at(ddns, 36), "secret");
  // The confirmation came back and was shown once.
  ASSERT_TRUE(host.loop().run_until([&] { return boxes_closed == 1; }, kDeadlineMs));
  EXPECT_TRUE(apply->isEnabled());
}

TEST_F(SetupPagesTest, TitleTypedShowsInThePreviewAndReachesTheDvr) {
  environment.set("systemroot", kBin + "/../data");
  std::vector<std::string> failures;
  ASSERT_TRUE(
      host.start({{"DVRIP", "127.0.0.1"}, {"HTTP_PORT", port}, {"DVR_UK", dvr_uk}}, failures));
  host.binder().root()->show();
  shell::Control& control = host.control();
  ASSERT_TRUE(host.loop().run_until([&] { return control.key_form().variables().ie_m_ch == 16; },
                                    kDeadlineMs))
      << sim.all_output();
  bool fetched = false;
  control.vdtt().hooks().refill_editor = [&](int slot) {
    control.titles().refill();
    fetched = slot == 0;
  };
  control.form()["PageControl1"].set_visible(true);
  auto* pages = widget<QTabWidget>("PageControl1");
  pages->setCurrentIndex(5);
  ASSERT_TRUE(host.loop().run_until([&] { return fetched; }, kDeadlineMs)) << sim.all_output();

  auto* edit = widget<QLineEdit>("LabeledEdit_Title2");
  EXPECT_EQ(host.binder().edit_label("LabeledEdit_Title2")->text(), "CH2");
  type_into(edit, "Yard");
  // The render tick draws the preview: white text on the navy field.
  QWidget* preview = host.binder().widget("Image_Title1");
  EXPECT_EQ(preview->size(), QSize(352, 44));
  auto preview_has_text = [&] {
    const QImage shot = preview->grab().toImage();
    int white = 0;
    for (int y = 0; y < shot.height(); ++y) {
      for (int x = 0; x < shot.width(); ++x) white += shot.pixel(x, y) == 0xFFFFFFFFu;
    }
    return white > 20 && shot.pixel(0, 0) == 0xFF000080u;
  };
  ASSERT_TRUE(host.loop().run_until(preview_has_text, kDeadlineMs));

  // Font Option opens the font dialog; closing it changes nothing.
  widget<QPushButton>("Button_TOption")->click();
  EXPECT_EQ(font_dialogs_closed, 1);

  auto* progress = widget<QProgressBar>("ProgressBar_title");
  widget<QPushButton>("Button_Title1")->click();
  ASSERT_TRUE(host.loop().run_until([&] { return progress->value() == 100; }, kDeadlineMs))
      << sim.all_output();
  // The DVR keeps the set in its data folder; the record is the file's first chunk, after
  // the 16-byte header and the chunk's 8-byte header.
  auto stored_title = [&] {
    std::ifstream f(dir + "/titles.vdtt", std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), {});
    return file.size() == 115648u ? text_at(file, 16 + 8 + 4 + 64) : std::string();
  };
  ASSERT_TRUE(host.loop().run_until([&] { return stored_title() == "Yard"; }, kDeadlineMs))
      << sim.all_output();
  // The DVR's end of the upload gives the controls back.
  EXPECT_TRUE(host.loop().run_until([&] { return edit->isEnabled(); }, kDeadlineMs));
}

}  // namespace
}  // namespace tessomar::viewer
