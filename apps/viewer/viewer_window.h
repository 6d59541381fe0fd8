// The viewer's main window: the control's form as its central area and a status bar for
// the host's link events.
#pragma once

#include <QMainWindow>
#include <string>
#include <string_view>

namespace tessomar::viewer {

class ViewerWindow final : public QMainWindow {
 public:
  // Takes the form's root widget as its central widget (the window then owns it).
  ViewerWindow(QWidget* form_root, const std::string& dvr_address);

  void show_event_text(std::string_view text);
  // Renders the window into a PNG file.
  bool save_screenshot(const std::string& path);
};

// "Tessomar — HOST:PORT"
QString window_title(const std::string& dvr_address);

}  // namespace tessomar::viewer
