#include "noip_dialog.h"

#include <QCloseEvent>
#include <QVBoxLayout>

namespace tessomar::viewer {

namespace {
constexpr const char* kFormName = "TForm_noip_setting";
}

NoipDialog::NoipDialog(ddns::NoipWizard& wizard, QWidget* parent)
    : QWidget(parent, Qt::Dialog), wizard_(wizard) {
  binder_ = std::make_unique<FormBinder>(wizard_.form());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(binder_->root());
  const platform::Component& form = wizard_.form()[kFormName];
  setWindowTitle(QString::fromStdString(form.caption()));
  setFixedSize(form.geometry().width, form.geometry().height);
  observer_ = wizard_.form().add_observer([this](platform::Component& c, platform::Property p) {
    if (c.kind() == platform::ComponentKind::Form &&
        (p == platform::Property::Visible || p == platform::Property::Caption)) {
      follow_form();
    }
  });
  follow_form();
}

NoipDialog::~NoipDialog() {
  wizard_.form().remove_observer(observer_);
  binder_.reset();
}

void NoipDialog::follow_form() {
  const platform::Component& form = wizard_.form()[kFormName];
  setWindowTitle(QString::fromStdString(form.caption()));
  if (form.visible()) {
    show();
    raise();
    activateWindow();
  } else {
    hide();
  }
}

void NoipDialog::closeEvent(QCloseEvent* event) {
  platform::Component& form = wizard_.form()[kFormName];
  // The user closed the window: the form's close, then it counts as hidden.
  if (form.visible()) {
    form.fire("OnClose");
    form.set_visible(false);
  }
  event->accept();
}

}  // namespace tessomar::viewer
