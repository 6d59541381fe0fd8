// The dialogs service with real Qt dialogs: message boxes, open/save file and font dialogs,
// modal over the viewer's window.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "platform/dialogs.h"

namespace tessomar::viewer {

// "Movie files (*.mov)|*.mov|All files|*" (description|patterns pairs, patterns separated
// by ';') -> "Movie files (*.mov);;All files (*)". A description that already names its
// patterns in parentheses is kept as it stands.
QString qt_file_filter(const std::string& filter);

class QtDialogs final : public platform::Dialogs {
 public:
  QtDialogs() = default;
  // The window the dialogs are modal to; may be set after the control was created.
  void set_parent(QWidget* parent) { parent_ = parent; }

  void message_box(const std::string& text, const std::string& caption) override;
  std::optional<std::string> open_file(const platform::FileDialogRequest& request) override;
  std::optional<std::string> save_file(const platform::FileDialogRequest& request) override;
  std::optional<platform::FontChoice> choose_font(const platform::FontChoice& initial) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace tessomar::viewer
