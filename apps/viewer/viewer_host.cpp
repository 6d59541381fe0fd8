#include "viewer_host.h"

#include <QPalette>

#include "shell/host.h"

namespace tessomar::viewer {

ViewerHost::ViewerHost(const platform::Environment& environment, shell::InstanceGuard& guard,
                       const platform::Logger& logger)
    : environment_(environment), guard_(guard), logger_(logger) {}

ViewerHost::~ViewerHost() { shutdown(); }

bool ViewerHost::start(const std::vector<shell::PageParam>& params,
                       std::vector<std::string>& failures) {
  control_ = std::make_unique<shell::Control>(
      shell::ControlServices{loop_, clock_, environment_, dialogs_, guard_, logger_});
  failures = shell::apply_page_params(control_->properties(), params);
  if (!failures.empty()) {
    control_.reset();
    return false;
  }
  control_->observer().event = [this](std::string_view e) {
    if (on_event) on_event(e);
  };
  binder_ = std::make_unique<FormBinder>(control_->form());
  draw_connection_icons(control_->form(), binder_->root()->palette().color(QPalette::Window));
  control_->ActiveFormCreate();
  timers_ = std::make_unique<platform::FormTimers>(control_->form(), loop_);
  return true;
}

void ViewerHost::shutdown() {
  if (!control_) return;
  control_->unload_query(false);
  // Timers and widgets refer to the control's form: they go first.
  timers_.reset();
  binder_.reset();
  control_.reset();
}

}  // namespace tessomar::viewer
