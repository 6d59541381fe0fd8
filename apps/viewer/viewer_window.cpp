#include "viewer_window.h"

#include <QLayout>
#include <QPixmap>
#include <QStatusBar>

namespace tessomar::viewer {

QString window_title(const std::string& dvr_address) {
  return QString::fromUtf8("Tessomar \u2014 ") + QString::fromStdString(dvr_address);
}

ViewerWindow::ViewerWindow(QWidget* form_root, const std::string& dvr_address) {
  setWindowTitle(window_title(dvr_address));
  setCentralWidget(form_root);
  statusBar()->setSizeGripEnabled(false);
  // The form has a fixed size; the window fits around it.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void ViewerWindow::show_event_text(std::string_view text) {
  statusBar()->showMessage(QString::fromUtf8(text.data(), qsizetype(text.size())));
}

bool ViewerWindow::save_screenshot(const std::string& path) {
  return grab().save(QString::fromStdString(path), "PNG");
}

}  // namespace tessomar::viewer
