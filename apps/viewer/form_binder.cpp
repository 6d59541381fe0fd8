#include "form_binder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTabWidget>

namespace tessomar::viewer {

using platform::Component;
using platform::ComponentKind;
using platform::Property;

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// A LabeledEdit's label sits just above the edit, as wide as the edit.
constexpr int kEditLabelHeight = 15;
constexpr int kEditLabelSpacing = 3;
// Line edits without a limit take Qt's own maximum.
constexpr int kUnlimitedEditLength = 32767;

platform::Event pointer_event(const QMouseEvent& e) {
  platform::Event ev;
  const QPoint p = e.position().toPoint();
  ev.x = p.x();
  ev.y = p.y();
  switch (e.button()) {
    case Qt::RightButton:
      ev.button = 1;
      break;
    case Qt::MiddleButton:
      ev.button = 2;
      break;
    default:
      ev.button = 0;
      break;
  }
  const Qt::KeyboardModifiers m = e.modifiers();
  if (m & Qt::ShiftModifier) ev.shift |= kShiftKey;
  if (m & Qt::AltModifier) ev.shift |= kShiftAlt;
  if (m & Qt::ControlModifier) ev.shift |= kShiftCtrl;
  const Qt::MouseButtons b = e.buttons();
  if (b & Qt::LeftButton) ev.shift |= kShiftLeft;
  if (b & Qt::RightButton) ev.shift |= kShiftRight;
  if (b & Qt::MiddleButton) ev.shift |= kShiftMiddle;
  return ev;
}

}  // namespace

ImageWidget::ImageWidget(Component& component, QWidget* parent)
    : QWidget(parent), component_(component) {
  // Moves without a button pressed matter too (hover over the key form).
  setMouseTracking(true);
}

void ImageWidget::picture_changed() {
  stale_ = true;
  update();
}

void ImageWidget::paintEvent(QPaintEvent*) {
  const platform::Bitmap& bm = component_.picture();
  if (bm.empty()) return;
  if (stale_ || shown_.width() != bm.width() || shown_.height() != bm.height()) {
    if (shown_.width() != bm.width() || shown_.height() != bm.height()) {
      shown_ = QImage(bm.width(), bm.height(), QImage::Format_RGB32);
    }
    // The bitmap's top byte is not alpha; Qt's RGB32 wants it 0xFF.
    for (int y = 0; y < bm.height(); ++y) {
      auto* out = reinterpret_cast<uint32_t*>(shown_.scanLine(y));
      for (uint32_t px : bm.row(y)) *out++ = px | 0xFF000000u;
    }
    stale_ = false;
  }
  QPainter painter(this);
  painter.drawImage(0, 0, shown_);
}

void ImageWidget::mousePressEvent(QMouseEvent* event) {
  platform::Event ev = pointer_event(*event);
  if (event->button() == Qt::LeftButton) pressed_ = true;
  component_.fire("OnMouseDown", ev);
}

void ImageWidget::mouseMoveEvent(QMouseEvent* event) {
  platform::Event ev = pointer_event(*event);
  component_.fire("OnMouseMove", ev);
}

void ImageWidget::mouseReleaseEvent(QMouseEvent* event) {
  platform::Event ev = pointer_event(*event);
  // A click is a left press and release over the image; it comes before the release.
  if (event->button() == Qt::LeftButton) {
    const bool click = pressed_ && rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click) component_.fire("OnClick");
  }
  component_.fire("OnMouseUp", ev);
}

// The pointer left the picture: "OnMouseLeave", so that hover marks can go.
void ImageWidget::leaveEvent(QEvent*) { component_.fire("OnMouseLeave"); }

FormBinder::FormBinder(platform::Form& form) : form_(form) {
  for (const auto& c : form_.components()) create(*c);
  for (auto& [name, b] : by_name_) apply_all(b);
  observer_ = form_.add_observer([this](Component& c, Property p) {
    auto it = by_component_.find(&c);
    if (it != by_component_.end()) apply(*it->second, p);
  });
}

FormBinder::~FormBinder() {
  form_.remove_observer(observer_);
  // Deleting the root deletes every other widget, and with them their connections.
  delete root_.data();
}

QWidget* FormBinder::widget(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second.widget.data();
}

QLabel* FormBinder::edit_label(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second.label.data();
}

QWidget* FormBinder::parent_widget(const Component& c) const {
  auto it = by_name_.find(c.parent());
  if (it != by_name_.end() && it->second.widget) return it->second.widget;
  return root_;
}

void FormBinder::create(Component& c) {
  if (c.kind() == ComponentKind::Timer) return;  // driven by the event loop, not shown
  Binding b;
  b.component = &c;
  QWidget* parent = c.kind() == ComponentKind::Form ? nullptr : parent_widget(c);
  switch (c.kind()) {
    case ComponentKind::Form:
      b.widget = new QWidget();
      if (!root_) root_ = b.widget;
      break;
    case ComponentKind::Timer:
      return;
    case ComponentKind::Label: {
      auto* l = new QLabel(parent);
      l->setTextFormat(Qt::PlainText);
      b.widget = l;
      break;
    }
    case ComponentKind::Image:
      b.widget = new ImageWidget(c, parent);
      break;
    case ComponentKind::Button:
      b.widget = new QPushButton(parent);
      break;
    case ComponentKind::Edit:
      b.widget = new QLineEdit(parent);
      break;
    case ComponentKind::LabeledEdit:
      b.label = new QLabel(parent);
      b.label->setTextFormat(Qt::PlainText);
      b.widget = new QLineEdit(parent);
      break;
    case ComponentKind::ComboBox:
      b.widget = new QComboBox(parent);
      break;
    case ComponentKind::CheckBox:
      b.widget = new QCheckBox(parent);
      break;
    case ComponentKind::Memo: {
      auto* m = new QPlainTextEdit(parent);
      m->setReadOnly(true);
      b.widget = m;
      break;
    }
    case ComponentKind::ProgressBar: {
      auto* p = new QProgressBar(parent);
      p->setTextVisible(false);
      b.widget = p;
      break;
    }
    case ComponentKind::ScrollBar: {
      const auto& g = c.geometry();
      b.widget = new QScrollBar(g.height > g.width ? Qt::Vertical : Qt::Horizontal, parent);
      break;
    }
    case ComponentKind::PageControl:
      b.widget = new QTabWidget(parent);
      // Opaque beside its tabs too: it lies over the moving video picture.
      b.widget->setAutoFillBackground(true);
      break;
    case ComponentKind::TabSheet: {
      auto* page = new QWidget();
      auto* tabs = qobject_cast<QTabWidget*>(parent);
      if (tabs) {
        tabs->addTab(page, qs(c.caption()));
      } else {
        page->setParent(parent);  // a sheet outside a page control is a plain area
      }
      b.widget = page;
      break;
    }
    case ComponentKind::Panel: {
      auto* f = new QFrame(parent);
      f->setFrameShape(QFrame::StyledPanel);
      b.widget = f;
      break;
    }
  }
  b.widget->setObjectName(qs(c.name()));
  auto [it, added] = by_name_.emplace(c.name(), std::move(b));
  if (!added) return;
  by_component_[&c] = &it->second;
  connect_input(it->second);
}

// User input: write the model first, then run the handler, so the handler reads the new
// value as it would from the form framework.
void FormBinder::connect_input(Binding& b) {
  Component* c = b.component;
  QWidget* w = b.widget;
  switch (c->kind()) {
    case ComponentKind::Button:
      QObject::connect(static_cast<QPushButton*>(w), &QPushButton::clicked, w,
                       [c] { c->fire("OnClick"); });
      break;
    case ComponentKind::Edit:
    case ComponentKind::LabeledEdit:
      QObject::connect(static_cast<QLineEdit*>(w), &QLineEdit::textEdited, w,
                       [c](const QString& text) {
                         c->set_caption(text.toStdString());
                         c->fire("OnChange");
                       });
      break;
    case ComponentKind::ComboBox:
      QObject::connect(static_cast<QComboBox*>(w), &QComboBox::activated, w, [c](int index) {
        c->set_item_index(index);
        if (index >= 0 && size_t(index) < c->items().size()) {
          c->set_caption(c->items()[size_t(index)]);
        }
        // A pick is a click, then the select event (the change event when there is none).
        c->fire("OnClick");
        if (c->has_handler("OnSelect")) {
          c->fire("OnSelect");
        } else {
          c->fire("OnChange");
        }
      });
      break;
    case ComponentKind::CheckBox:
      QObject::connect(static_cast<QCheckBox*>(w), &QCheckBox::clicked, w, [c](bool checked) {
        c->set_checked(checked);
        c->fire("OnClick");
      });
      break;
    case ComponentKind::ScrollBar:
      // Model updates block the bar's signals, so this is the user's doing.
      QObject::connect(static_cast<QScrollBar*>(w), &QScrollBar::valueChanged, w, [c](int value) {
        c->set_position(value);
        c->fire("OnChange");
      });
      break;
    case ComponentKind::PageControl:
      QObject::connect(static_cast<QTabWidget*>(w), &QTabWidget::currentChanged, w, [c](int index) {
        c->set_item_index(index);
        c->fire("OnChange");
      });
      break;
    default:
      break;
  }
}

void FormBinder::apply_all(Binding& b) {
  for (Property p :
       {Property::Geometry, Property::Caption, Property::Items, Property::ItemIndex,
        Property::Checked, Property::MaxLength, Property::PasswordChar, Property::Range,
        Property::Enabled, Property::Visible, Property::Picture, Property::LabelCaption}) {
    apply(b, p);
  }
}

void FormBinder::apply_geometry(Binding& b) {
  const auto& g = b.component->geometry();
  switch (b.component->kind()) {
    case ComponentKind::Form:
      if (g.width > 0 && g.height > 0) b.widget->setFixedSize(g.width, g.height);
      return;
    case ComponentKind::TabSheet:
      return;  // laid out by its page control
    default:
      b.widget->setGeometry(g.left, g.top, g.width, g.height);
      break;
  }
  if (b.label) {
    b.label->setGeometry(g.left, g.top - kEditLabelHeight - kEditLabelSpacing, g.width,
                         kEditLabelHeight);
  }
}

void FormBinder::apply_tab(Binding& b, Property p) {
  auto parent = by_name_.find(b.component->parent());
  if (parent == by_name_.end()) return;
  auto* tabs = qobject_cast<QTabWidget*>(parent->second.widget.data());
  if (!tabs) return;
  const int index = tabs->indexOf(b.widget);
  if (index < 0) return;
  const QSignalBlocker block(tabs);
  switch (p) {
    case Property::Caption:
      tabs->setTabText(index, qs(b.component->caption()));
      break;
    case Property::Visible:
      tabs->setTabVisible(index, b.component->visible());
      break;
    case Property::Enabled:
      tabs->setTabEnabled(index, b.component->enabled());
      break;
    default:
      break;
  }
}

void FormBinder::apply(Binding& b, Property p) {
  if (!b.widget) return;  // deleted with a window that owned it
  Component& c = *b.component;
  QWidget* w = b.widget;
  const QSignalBlocker block(w);
  const ComponentKind kind = c.kind();

  if (kind == ComponentKind::TabSheet &&
      (p == Property::Caption || p == Property::Visible || p == Property::Enabled)) {
    apply_tab(b, p);
    return;
  }

  switch (p) {
    case Property::Geometry:
      apply_geometry(b);
      break;
    case Property::Enabled:
      w->setEnabled(c.enabled());
      if (b.label) b.label->setEnabled(c.enabled());
      break;
    case Property::Visible:
      if (kind == ComponentKind::Form) break;  // the window shows the root
      w->setVisible(c.visible());
      if (b.label) b.label->setVisible(c.visible());
      break;
    case Property::Caption: {
      const QString text = qs(c.caption());
      switch (kind) {
        case ComponentKind::Form:
          w->setWindowTitle(text);
          break;
        case ComponentKind::Label:
          static_cast<QLabel*>(w)->setText(text);
          break;
        case ComponentKind::Button:
          static_cast<QPushButton*>(w)->setText(text);
          break;
        case ComponentKind::CheckBox:
          static_cast<QCheckBox*>(w)->setText(text);
          break;
        case ComponentKind::Edit:
        case ComponentKind::LabeledEdit: {
          // Only real changes: setting the same text would move the user's cursor.
          auto* e = static_cast<QLineEdit*>(w);
          if (e->text() != text) e->setText(text);
          break;
        }
        case ComponentKind::Memo: {
          // Memo lines are separated by CR LF; the widget wants plain line feeds.
          QString lines = text;
          lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
          auto* m = static_cast<QPlainTextEdit*>(w);
          if (m->toPlainText() != lines) m->setPlainText(lines);
          break;
        }
        default:
          break;
      }
      break;
    }
    case Property::Items:
      if (kind == ComponentKind::ComboBox) {
        auto* box = static_cast<QComboBox*>(w);
        box->clear();
        for (const auto& item : c.items()) box->addItem(qs(item));
        box->setCurrentIndex(c.item_index());
      }
      break;
    case Property::ItemIndex:
      if (kind == ComponentKind::ComboBox) {
        static_cast<QComboBox*>(w)->setCurrentIndex(c.item_index());
      } else if (kind == ComponentKind::PageControl) {
        auto* tabs = static_cast<QTabWidget*>(w);
        if (c.item_index() >= 0 && c.item_index() < tabs->count()) {
          tabs->setCurrentIndex(c.item_index());
        }
      }
      break;
    case Property::Checked:
      if (kind == ComponentKind::CheckBox) static_cast<QCheckBox*>(w)->setChecked(c.checked());
      break;
    case Property::MaxLength:
      if (kind == ComponentKind::Edit || kind == ComponentKind::LabeledEdit) {
        static_cast<QLineEdit*>(w)->setMaxLength(c.max_length() > 0 ? c.max_length()
                                                                    : kUnlimitedEditLength);
      }
      break;
    case Property::PasswordChar:
      if (kind == ComponentKind::Edit || kind == ComponentKind::LabeledEdit) {
        static_cast<QLineEdit*>(w)->setEchoMode(c.password_char() ? QLineEdit::Password
                                                                  : QLineEdit::Normal);
      }
      break;
    case Property::Position:
    case Property::Range:
      if (kind == ComponentKind::ProgressBar) {
        auto* bar = static_cast<QProgressBar*>(w);
        bar->setRange(c.min(), c.max());
        bar->setValue(c.position());
      } else if (kind == ComponentKind::ScrollBar) {
        auto* bar = static_cast<QScrollBar*>(w);
        bar->setRange(c.min(), c.max());
        bar->setValue(c.position());
      }
      break;
    case Property::Picture:
      if (kind == ComponentKind::Image) static_cast<ImageWidget*>(w)->picture_changed();
      break;
    case Property::LabelCaption:
      if (b.label) b.label->setText(qs(c.label_caption()));
      break;
    case Property::Tag:
    case Property::Interval:
      break;
  }
}

}  // namespace tessomar::viewer
