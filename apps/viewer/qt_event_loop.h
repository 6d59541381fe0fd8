// The event loop on Qt's own loop, for the viewer: timers are QTimers, descriptor readiness
// comes from QSocketNotifiers and posted calls run from a zero-time single shot. Everything
// runs on the GUI thread, between Qt's other events, so the control and the widgets share
// one thread as they must.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/event_loop.h"

namespace tessomar::viewer {

class QtEventLoop final : public platform::EventLoop {
 public:
  explicit QtEventLoop(const platform::Clock& clock);
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  platform::TimerId add_timer(int interval_ms, std::function<void()> callback) override;
  void set_timer(platform::TimerId id, bool enabled, int interval_ms) override;
  void remove_timer(platform::TimerId id) override;
  void watch(int fd, bool want_read, bool want_write,
             std::function<void(bool, bool)> callback) override;
  void unwatch(int fd) override;
  void post(std::function<void()> call) override;
  const platform::Clock& clock() const override { return clock_; }

  // Runs Qt's event loop until the predicate holds (checked at least every 10 ms) or the
  // time has passed; returns the predicate's last value. For tests and start-up waits.
  bool run_until(const std::function<bool()>& done, int timeout_ms);

 private:
  struct Timer {
    // Single shot, restarted as it fires: the next interval counts from this firing, and
    // a late loop gives one firing, not a burst.
    std::unique_ptr<QTimer> qt;
    int interval_ms = 0;
    bool enabled = false;
    std::function<void()> callback;
  };
  struct Watch {
    bool want_read = false;
    bool want_write = false;
    std::function<void(bool, bool)> callback;
    // New each time a descriptor starts being watched (see PollEventLoop::Watch): an
    // activation meant for an earlier watch of the same number is dropped.
    uint64_t serial = 0;
    QSocketNotifier* read = nullptr;  // owned by anchor_ until retired
    QSocketNotifier* write = nullptr;
  };

  void fire_timer(platform::TimerId id);
  void on_activated(int fd, uint64_t serial, bool read);
  QSocketNotifier* make_notifier(int fd, uint64_t serial, QSocketNotifier::Type type);
  // A notifier may be retired from inside its own activation: it is disabled at once and
  // deleted later by Qt.
  static void retire(QSocketNotifier*& n);
  void run_posted();

  const platform::Clock& clock_;
  // Parent of the notifiers and context of posted calls: nothing Qt holds for this loop
  // outlives it.
  QObject anchor_;
  std::map<platform::TimerId, Timer> timers_;
  platform::TimerId next_timer_ = 1;
  std::map<int, Watch> watches_;
  uint64_t next_watch_serial_ = 1;
  std::vector<std::function<void()>> posted_;
  bool flush_scheduled_ = false;
};

}  // namespace tessomar::viewer
