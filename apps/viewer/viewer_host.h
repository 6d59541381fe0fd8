// The control as the desktop viewer hosts it: Qt's event loop on the real clock, real
// dialogs, the form shown through the binder, the form's timers on the loop. The test
// suite hosts the control the same way with its own instance guard and environment.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connection_icons.h"
#include "form_binder.h"
#include "noip_dialog.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "platform/log.h"
#include "qt_dialogs.h"
#include "qt_event_loop.h"
#include "shell/control.h"
#include "shell/page_params.h"

namespace tessomar::viewer {

class ViewerHost {
 public:
  // The environment, the guard and the logger must outlive the host.
  ViewerHost(const platform::Environment& environment, shell::InstanceGuard& guard,
             const platform::Logger& logger);
  ~ViewerHost();
  ViewerHost(const ViewerHost&) = delete;
  ViewerHost& operator=(const ViewerHost&) = delete;

  // Creates the control and puts the parameters in order; on failure returns false with one
  // message per parameter that could not be put. Then draws the connection icons, builds
  // the widgets, runs ActiveFormCreate and starts the form's timers.
  bool start(const std::vector<shell::PageParam>& params, std::vector<std::string>& failures);
  // The host's side of closing: the unload query (which stops audio output), then the
  // timers, the widgets and the control go. Safe to call twice.
  void shutdown();

  // Link events as text (the control's HostObserver.event); set before start().
  std::function<void(std::string_view)> on_event;

  QtEventLoop& loop() { return loop_; }
  QtDialogs& dialogs() { return dialogs_; }
  bool running() const { return control_ != nullptr; }
  shell::Control& control() { return *control_; }
  FormBinder& binder() { return *binder_; }
  // The No-IP wizard's window once the DDNS tab opened it; nullptr before.
  NoipDialog* noip_dialog() { return noip_dialog_.get(); }

 private:
  // Connection icons and form labels in the colours of the main-form picture beneath them.
  void fit_to_main_form_picture();

  platform::SystemClock clock_;
  QtEventLoop loop_{clock_};
  const platform::Environment& environment_;
  shell::InstanceGuard& guard_;
  const platform::Logger& logger_;
  QtDialogs dialogs_;
  std::unique_ptr<shell::Control> control_;
  std::unique_ptr<FormBinder> binder_;
  std::unique_ptr<platform::FormTimers> timers_;
  std::unique_ptr<NoipDialog> noip_dialog_;
};

}  // namespace tessomar::viewer
