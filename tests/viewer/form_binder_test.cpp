#include "form_binder.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <functional>
#include <string>
#include <vector>

namespace tessomar::viewer {
namespace {

using platform::Component;
using platform::ComponentKind;
using platform::ComponentSpec;
using platform::Geometry;

constexpr ComponentSpec kSpecs[] = {
    {"Form1", ComponentKind::Form, "", Geometry{0, 0, 400, 320}, "Test form"},
    {"Timer1", ComponentKind::Timer, "Form1", {}, "", true, false, 10},
    {"Label1", ComponentKind::Label, "Form1", Geometry{8, 8, 100, 20}, "hello"},
    {"Image1", ComponentKind::Image, "Form1", Geometry{10, 40, 64, 48}},
    {"Button1", ComponentKind::Button, "Form1", Geometry{200, 8, 80, 24}, "Go"},
    {"Edit1", ComponentKind::Edit, "Form1", Geometry{8, 100, 120, 24}},
    {"LabeledEdit1", ComponentKind::LabeledEdit, "Form1", Geometry{8, 150, 120, 24}},
    {"ComboBox1", ComponentKind::ComboBox, "Form1", Geometry{150, 100, 120, 24}},
    {"CheckBox1", ComponentKind::CheckBox, "Form1", Geometry{150, 150, 120, 24}, "Check"},
    {"Memo1", ComponentKind::Memo, "Form1", Geometry{280, 40, 100, 50}},
    {"ProgressBar1", ComponentKind::ProgressBar, "Form1", Geometry{8, 200, 200, 16}},
    {"ScrollBar1", ComponentKind::ScrollBar, "Form1", Geometry{8, 230, 200, 16}},
    {"Panel1", ComponentKind::Panel, "Form1", Geometry{8, 260, 60, 50}},
    {"PageControl1", ComponentKind::PageControl, "Form1", Geometry{220, 200, 170, 110}},
    {"TabSheetA", ComponentKind::TabSheet, "PageControl1", {}, "A"},
    {"TabSheetB", ComponentKind::TabSheet, "PageControl1", {}, "B"},
    {"TabSheetC", ComponentKind::TabSheet, "PageControl1", {}, "C", false},
    {"LabelOnB", ComponentKind::Label, "TabSheetB", Geometry{4, 4, 60, 16}, "on B"},
};

class BinderTest : public ::testing::Test {
 protected:
  BinderTest() {
    form.build(kSpecs, std::size(kSpecs));
    binder = std::make_unique<FormBinder>(form);
    binder->root()->show();
  }

  template <class W>
  W* w(const char* name) {
    auto* widget = qobject_cast<W*>(binder->widget(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  // Records each handler call of a component as "Name.Event".
  void record(const char* name, const char* event) {
    form[name].on(event, [this, name, event](platform::Event&) {
      fired.push_back(std::string(name) + "." + event);
    });
  }
  void send_mouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button,
                  Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QMouseEvent e(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, buttons, mods);
    QCoreApplication::sendEvent(target, &e);
  }

  platform::Form form;
  std::unique_ptr<FormBinder> binder;
  std::vector<std::string> fired;
};

TEST_F(BinderTest, EveryComponentGetsTheWidgetOfItsKind) {
  const std::pair<const char*, const char*> kinds[] = {
      {"Label1", "QLabel"},         {"Button1", "QPushButton"},
      {"Edit1", "QLineEdit"},       {"LabeledEdit1", "QLineEdit"},
      {"ComboBox1", "QComboBox"},   {"CheckBox1", "QCheckBox"},
      {"Memo1", "QPlainTextEdit"},  {"ProgressBar1", "QProgressBar"},
      {"ScrollBar1", "QScrollBar"}, {"PageControl1", "QTabWidget"},
      {"Panel1", "QFrame"},
  };
  for (const auto& [name, cls] : kinds) {
    ASSERT_NE(binder->widget(name), nullptr) << name;
    EXPECT_TRUE(binder->widget(name)->inherits(cls)) << name << " is not a " << cls;
    EXPECT_EQ(binder->widget(name)->parentWidget(), binder->root()) << name;
  }
  EXPECT_EQ(binder->widget("Timer1"), nullptr);
  EXPECT_EQ(binder->widget("Form1"), binder->root());
  EXPECT_EQ(binder->root()->size(), QSize(400, 320));
  EXPECT_EQ(binder->widget("Image1")->geometry(), QRect(10, 40, 64, 48));
  // Children of a tab sheet live on its page.
  EXPECT_EQ(binder->widget("LabelOnB")->parentWidget(), binder->widget("TabSheetB"));
  EXPECT_EQ(w<QTabWidget>("PageControl1")->count(), 3);
  // The label of a labeled edit sits above the edit.
  ASSERT_NE(binder->edit_label("LabeledEdit1"), nullptr);
  EXPECT_LT(binder->edit_label("LabeledEdit1")->geometry().bottom(), 150);
}

TEST_F(BinderTest, ModelChangesShowAtOnce) {
  struct Case {
    const char* what;
    std::function<void()> change;
    std::function<bool()> shown;
  };
  const Case cases[] = {
      {"label caption", [&] { form["Label1"].set_caption("Connecting ..."); },
       [&] { return w<QLabel>("Label1")->text() == "Connecting ..."; }},
      {"button caption", [&] { form["Button1"].set_caption("Apply"); },
       [&] { return w<QPushButton>("Button1")->text() == "Apply"; }},
      {"edit text", [&] { form["Edit1"].set_caption("192.168.1.9"); },
       [&] { return w<QLineEdit>("Edit1")->text() == "192.168.1.9"; }},
      {"labeled edit text", [&] { form["LabeledEdit1"].set_caption("8080"); },
       [&] { return w<QLineEdit>("LabeledEdit1")->text() == "8080"; }},
      {"memo text", [&] { form["Memo1"].set_caption("line 1\nline 2"); },
       [&] { return w<QPlainTextEdit>("Memo1")->toPlainText() == "line 1\nline 2"; }},
      {"check box caption and check",
       [&] {
         form["CheckBox1"].set_caption("Secure");
         form["CheckBox1"].set_checked(true);
       },
       [&] {
         return w<QCheckBox>("CheckBox1")->text() == "Secure" &&
                w<QCheckBox>("CheckBox1")->isChecked();
       }},
      {"combo items and index",
       [&] {
         form["ComboBox1"].set_items({"OFF", "ON", "Default"});
         form["ComboBox1"].set_item_index(2);
       },
       [&] {
         auto* box = w<QComboBox>("ComboBox1");
         return box->count() == 3 && box->itemText(1) == "ON" && box->currentIndex() == 2;
       }},
      {"combo index back to none", [&] { form["ComboBox1"].set_item_index(-1); },
       [&] { return w<QComboBox>("ComboBox1")->currentIndex() == -1; }},
      {"progress range and position",
       [&] {
         form["ProgressBar1"].set_range(0, 200);
         form["ProgressBar1"].set_position(150);
       },
       [&] {
         auto* bar = w<QProgressBar>("ProgressBar1");
         return bar->maximum() == 200 && bar->value() == 150;
       }},
      {"scroll bar position",
       [&] {
         form["ScrollBar1"].set_range(8, 72);
         form["ScrollBar1"].set_position(40);
       },
       [&] {
         auto* bar = w<QScrollBar>("ScrollBar1");
         return bar->minimum() == 8 && bar->maximum() == 72 && bar->value() == 40;
       }},
      {"max length and password char",
       [&] {
         form["Edit1"].set_max_length(31);
         form["Edit1"].set_password_char('*');
       },
       [&] {
         auto* e = w<QLineEdit>("Edit1");
         return e->maxLength() == 31 && e->echoMode() == QLineEdit::Password;
       }},
      {"password char removed", [&] { form["Edit1"].set_password_char(0); },
       [&] { return w<QLineEdit>("Edit1")->echoMode() == QLineEdit::Normal; }},
      {"disabled", [&] { form["Button1"].set_enabled(false); },
       [&] { return !binder->widget("Button1")->isEnabled(); }},
      {"hidden, with its edit label", [&] { form["LabeledEdit1"].set_visible(false); },
       [&] {
         return binder->widget("LabeledEdit1")->isHidden() &&
                binder->edit_label("LabeledEdit1")->isHidden();
       }},
      {"shown again", [&] { form["LabeledEdit1"].set_visible(true); },
       [&] { return binder->widget("LabeledEdit1")->isVisible(); }},
      {"moved",
       [&] {
         form["Label1"].set_geometry({20, 30, 90, 18});
       },
       [&] { return binder->widget("Label1")->geometry() == QRect(20, 30, 90, 18); }},
  };
  for (const auto& c : cases) {
    c.change();
    EXPECT_TRUE(c.shown()) << c.what;
  }
}

TEST_F(BinderTest, ModelChangesDoNotFireHandlers) {
  for (const char* name : {"ComboBox1", "ScrollBar1", "PageControl1", "Edit1"}) {
    record(name, "OnChange");
  }
  record("CheckBox1", "OnClick");
  record("ComboBox1", "OnSelect");
  form["ComboBox1"].set_items({"a", "b"});
  form["ComboBox1"].set_item_index(1);
  form["ScrollBar1"].set_position(30);
  form["ScrollBar1"].set_range(0, 10);  // clamps the bar's value
  form["PageControl1"].set_item_index(1);
  form["Edit1"].set_caption("typed by code");
  form["CheckBox1"].set_checked(true);
  EXPECT_EQ(fired, std::vector<std::string>{});
  // The model keeps what the code wrote, even where the widget clamped it.
  EXPECT_EQ(form["ScrollBar1"].position(), 30);
}

TEST_F(BinderTest, UserInputIsWrittenToTheModelBeforeTheHandlerRuns) {
  std::vector<std::string> seen;
  auto note = [&](const char* name, const char* event, std::function<std::string()> state) {
    form[name].on(event, [&seen, name, event, state](platform::Event&) {
      seen.push_back(std::string(name) + "." + event + " " + state());
    });
  };
  note("Button1", "OnClick", [] { return std::string(); });
  note("Edit1", "OnChange", [&] { return form["Edit1"].caption(); });
  note("ComboBox1", "OnChange", [&] {
    return std::to_string(form["ComboBox1"].item_index()) + " " + form["ComboBox1"].caption();
  });
  note("CheckBox1", "OnClick",
       [&] { return std::string(form["CheckBox1"].checked() ? "1" : "0"); });
  note("ScrollBar1", "OnChange", [&] { return std::to_string(form["ScrollBar1"].position()); });
  note("PageControl1", "OnChange",
       [&] { return std::to_string(form["PageControl1"].item_index()); });
  form["ComboBox1"].set_items({"OFF", "ON"});
  form["ScrollBar1"].set_range(0, 100);

  w<QPushButton>("Button1")->click();
  QKeyEvent key(QEvent::KeyPress, Qt::Key_7, Qt::NoModifier, "7");
  QCoreApplication::sendEvent(w<QLineEdit>("Edit1"), &key);
  auto* box = w<QComboBox>("ComboBox1");
  box->setCurrentIndex(1);
  Q_EMIT box->activated(1);
  w<QCheckBox>("CheckBox1")->click();
  w<QScrollBar>("ScrollBar1")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  w<QTabWidget>("PageControl1")->setCurrentIndex(1);

  EXPECT_EQ(seen, (std::vector<std::string>{"Button1.OnClick ", "Edit1.OnChange 7",
                                            "ComboBox1.OnChange 1 ON", "CheckBox1.OnClick 1",
                                            "ScrollBar1.OnChange 1", "PageControl1.OnChange 1"}));

  // A combo box with a select handler reports the pick there instead.
  record("ComboBox1", "OnSelect");
  seen.clear();
  box->setCurrentIndex(0);
  Q_EMIT box->activated(0);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(fired, std::vector<std::string>{"ComboBox1.OnSelect"});
  EXPECT_EQ(form["ComboBox1"].item_index(), 0);
}

TEST_F(BinderTest, TabVisibilityFollowsTheTabSheet) {
  auto* tabs = w<QTabWidget>("PageControl1");
  EXPECT_TRUE(tabs->isTabVisible(0));
  EXPECT_FALSE(tabs->isTabVisible(2));  // hidden in the description
  form["TabSheetB"].set_visible(false);
  EXPECT_FALSE(tabs->isTabVisible(1));
  form["TabSheetC"].set_visible(true);
  EXPECT_TRUE(tabs->isTabVisible(2));
  form["TabSheetB"].set_visible(true);
  EXPECT_TRUE(tabs->isTabVisible(1));
  form["TabSheetA"].set_caption("System");
  EXPECT_EQ(tabs->tabText(0), "System");
  form["TabSheetA"].set_enabled(false);
  EXPECT_FALSE(tabs->isTabEnabled(0));
}

TEST_F(BinderTest, PictureShowsTheBitmapWithItsTopByteIgnored) {
  Component& image = form["Image1"];
  image.picture().resize(64, 48);
  image.picture().fill(0x00123456);
  image.picture().set_pixel(5, 7, 0x00FF0000);
  image.picture_changed();
  QImage shot = binder->widget("Image1")->grab().toImage();
  ASSERT_EQ(shot.size(), QSize(64, 48));
  EXPECT_EQ(shot.pixelColor(5, 7), QColor(255, 0, 0));
  EXPECT_EQ(shot.pixelColor(0, 0), QColor(0x12, 0x34, 0x56));
  EXPECT_EQ(shot.pixelColor(63, 47), QColor(0x12, 0x34, 0x56));

  // Drawn again from the model, not from a copy taken earlier.
  image.picture().set_pixel(5, 7, 0x0000FF00);
  image.picture_changed();
  shot = binder->widget("Image1")->grab().toImage();
  EXPECT_EQ(shot.pixelColor(5, 7), QColor(0, 255, 0));
}

TEST_F(BinderTest, PointerOverAnImageReachesItsHandlers) {
  std::vector<std::string> got;
  for (const char* event : {"OnMouseDown", "OnMouseMove", "OnMouseUp"}) {
    form["Image1"].on(event, [&got, event](platform::Event& e) {
      got.push_back(std::string(event) + " " + std::to_string(e.x) + "," + std::to_string(e.y) +
                    " b" + std::to_string(e.button) + " s" + std::to_string(e.shift));
    });
  }
  form["Image1"].on("OnClick", [&got](platform::Event&) { got.push_back("OnClick"); });
  QWidget* image = binder->widget("Image1");

  send_mouse(image, QEvent::MouseButtonPress, {10, 20}, Qt::LeftButton, Qt::LeftButton,
             Qt::ShiftModifier);
  send_mouse(image, QEvent::MouseMove, {12, 22}, Qt::NoButton, Qt::LeftButton);
  send_mouse(image, QEvent::MouseButtonRelease, {12, 22}, Qt::LeftButton, Qt::NoButton);
  // Right button: no click; released outside: no click either.
  send_mouse(image, QEvent::MouseButtonPress, {3, 4}, Qt::RightButton, Qt::RightButton,
             Qt::ControlModifier);
  send_mouse(image, QEvent::MouseButtonRelease, {3, 4}, Qt::RightButton, Qt::NoButton);
  send_mouse(image, QEvent::MouseButtonPress, {1, 1}, Qt::LeftButton, Qt::LeftButton);
  send_mouse(image, QEvent::MouseButtonRelease, {100, 1}, Qt::LeftButton, Qt::NoButton);

  EXPECT_EQ(got, (std::vector<std::string>{
                     "OnMouseDown 10,20 b0 s9",  // shift key + left button
                     "OnMouseMove 12,22 b0 s8",
                     "OnClick",
                     "OnMouseUp 12,22 b0 s0",
                     "OnMouseDown 3,4 b1 s20",  // ctrl + right button
                     "OnMouseUp 3,4 b1 s0",
                     "OnMouseDown 1,1 b0 s8",
                     "OnMouseUp 100,1 b0 s0",
                 }));

  // A disabled image takes no input (the video picture is disabled for input).
  got.clear();
  form["Image1"].set_enabled(false);
  send_mouse(image, QEvent::MouseButtonPress, {10, 20}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_TRUE(got.empty());
}

TEST(BinderLifetime, WidgetsDeletedElsewhereAreLeftAlone) {
  platform::Form form;
  form.build(kSpecs, std::size(kSpecs));
  {
    FormBinder binder(form);
    QPointer<QWidget> root = binder.root();
    delete binder.widget("Label1");
    form["Label1"].set_caption("after");  // must not touch the deleted label
    delete root.data();                   // as a window owning the root would
    form["Button1"].set_enabled(false);
    form["Image1"].picture_changed();
  }
  // The binder stopped observing when it went.
  form["Label1"].set_caption("after the binder");
  SUCCEED();
}

TEST(BinderLifetime, BinderDeletesTheWidgetsItMade) {
  platform::Form form;
  form.build(kSpecs, std::size(kSpecs));
  QPointer<QWidget> root;
  {
    FormBinder binder(form);
    root = binder.root();
    ASSERT_TRUE(root);
  }
  EXPECT_TRUE(root.isNull());
}

}  // namespace
}  // namespace tessomar::viewer
