// Shows a form model as Qt widgets and keeps the two in step. Every component gets a widget
// by its kind:
//   Form -> plain QWidget (the root)      Label -> QLabel          Image -> ImageWidget
//   Button -> QPushButton                 Edit -> QLineEdit        LabeledEdit -> QLineEdit
//   ComboBox -> QComboBox                 CheckBox -> QCheckBox    Memo -> QPlainTextEdit
//   ProgressBar -> QProgressBar           ScrollBar -> QScrollBar  PageControl -> QTabWidget
//   TabSheet -> a page of its QTabWidget  Panel -> QFrame          Timer -> none
// (a LabeledEdit also gets a QLabel above it showing its label caption). Model changes show at
// once; user input is written to the model first, then the component's handler runs, the way the
// form framework reports input: "OnClick", "OnChange", "OnSelect", "OnMouseDown",
// "OnMouseMove", "OnMouseUp".
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/form.h"

class QLabel;

namespace tessomar::viewer {

// Paints an image component's bitmap at its top-left, unscaled (pixels are 0x00RRGGBB; the
// top byte is not alpha), and reports the pointer as the component's mouse events.
class ImageWidget final : public QWidget {
 public:
  ImageWidget(platform::Component& component, QWidget* parent);
  // The component's picture changed: repaint from it.
  void picture_changed();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  platform::Component& component_;
  bool pressed_ = false;
  // What is painted: the picture with an opaque top byte, since Qt passes RGB32's top
  // byte through to the screen. Reallocated only when the picture's size changes.
  QImage shown_;
  bool stale_ = true;
};

// The modifier bits of an Event's shift field (the form framework's shift state).
enum ShiftBits : int {
  kShiftKey = 1,
  kShiftAlt = 2,
  kShiftCtrl = 4,
  kShiftLeft = 8,
  kShiftRight = 16,
  kShiftMiddle = 32,
};

class FormBinder {
 public:
  // Builds the widgets of every component. The form must outlive the binder.
  explicit FormBinder(platform::Form& form);
  ~FormBinder();
  FormBinder(const FormBinder&) = delete;
  FormBinder& operator=(const FormBinder&) = delete;

  // The widget of the Form component, sized to its geometry; the binder deletes it unless
  // someone else (a window it was put into) did so first.
  QWidget* root() const { return root_; }
  // The widget of a component; nullptr for timers and unknown names. A TabSheet's widget is
  // its page.
  QWidget* widget(std::string_view name) const;
  // The label above a LabeledEdit.
  QLabel* edit_label(std::string_view name) const;

 private:
  struct Binding {
    platform::Component* component = nullptr;
    QPointer<QWidget> widget;
    QPointer<QLabel> label;  // LabeledEdit only
  };

  void create(platform::Component& c);
  QWidget* parent_widget(const platform::Component& c) const;
  void connect_input(Binding& b);
  void apply(Binding& b, platform::Property p);
  void apply_all(Binding& b);
  void apply_tab(Binding& b, platform::Property p);
  void apply_geometry(Binding& b);

  platform::Form& form_;
  QPointer<QWidget> root_;
  std::map<std::string, Binding, std::less<>> by_name_;
  std::unordered_map<const platform::Component*, Binding*> by_component_;
  int observer_ = 0;
};

}  // namespace tessomar::viewer
