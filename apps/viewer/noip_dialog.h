// The No-IP account wizard as a window of its own: the wizard's form shown through the form
// binder, shown and hidden as the form's Visible says. Closing the window is the form's close.
#pragma once

#include <QWidget>
#include <memory>

#include "ddns/noip_wizard.h"
#include "form_binder.h"

namespace tessomar::viewer {

class NoipDialog final : public QWidget {
 public:
  // The wizard must outlive the dialog.
  explicit NoipDialog(ddns::NoipWizard& wizard, QWidget* parent = nullptr);
  ~NoipDialog() override;
  NoipDialog(const NoipDialog&) = delete;
  NoipDialog& operator=(const NoipDialog&) = delete;

  FormBinder& binder() { return *binder_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void follow_form();

  ddns::NoipWizard& wizard_;
  std::unique_ptr<FormBinder> binder_;
  int observer_ = 0;
};

}  // namespace tessomar::viewer
