// The single-threaded event loop: millisecond timers, readiness of file descriptors and
// deferred calls, all delivered on the loop's thread between one another. The poll()
// backend serves the CLI, the simulator and tests; the viewer adds a Qt backend.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/clock.h"

namespace tessomar::platform {

class ClientSocket;
class Form;
class Logger;

using TimerId = int;

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // A repeating timer; it starts disabled. Intervals are measured from when it last fired,
  // so a slow callback stretches the interval instead of causing a burst.
  virtual TimerId add_timer(int interval_ms, std::function<void()> callback) = 0;
  virtual void set_timer(TimerId id, bool enabled, int interval_ms) = 0;
  virtual void remove_timer(TimerId id) = 0;

  // Readiness of a descriptor; the callback gets (readable, writable). Watching again
  // replaces the previous interest.
  virtual void watch(int fd, bool want_read, bool want_write,
                     std::function<void(bool, bool)> callback) = 0;
  virtual void unwatch(int fd) = 0;

  // Runs the call after the current event has finished.
  virtual void post(std::function<void()> call) = 0;

  virtual const Clock& clock() const = 0;

  // A client socket that delivers its events through this loop.
  std::unique_ptr<ClientSocket> create_socket(const Logger& logger);
};

class PollEventLoop final : public EventLoop {
 public:
  explicit PollEventLoop(const Clock& clock) : clock_(clock) {}

  TimerId add_timer(int interval_ms, std::function<void()> callback) override;
  void set_timer(TimerId id, bool enabled, int interval_ms) override;
  void remove_timer(TimerId id) override;
  void watch(int fd, bool want_read, bool want_write,
             std::function<void(bool, bool)> callback) override;
  void unwatch(int fd) override;
  void post(std::function<void()> call) override;
  const Clock& clock() const override { return clock_; }

  // One round: waits at most max_wait_ms for the next timer or descriptor event, then runs
  // posted calls, ready descriptors and due timers.
  void run_once(int max_wait_ms);
  // Runs until stop() or until the given time has passed.
  void run_for(uint32_t ms);
  // Runs until the predicate holds (checked after each round) or the time has passed;
  // returns the predicate's last value.
  bool run_until(const std::function<bool()>& done, uint32_t timeout_ms);
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

 private:
  struct Timer {
    int interval_ms = 0;
    bool enabled = false;
    uint32_t last_ms = 0;
    std::function<void()> callback;
  };
  struct Watch {
    bool want_read = false;
    bool want_write = false;
    std::function<void(bool, bool)> callback;
    // New each time a descriptor starts being watched: readiness polled for an earlier
    // watch of the same number (unwatched, closed and reused meanwhile) is not handed to
    // the new one. Changing the interest of a watch keeps it.
    uint64_t serial = 0;
  };

  void run_posted();
  void run_due_timers();
  int ms_to_next_timer() const;

  const Clock& clock_;
  std::map<TimerId, Timer> timers_;
  TimerId next_timer_ = 1;
  std::map<int, Watch> watches_;
  uint64_t next_watch_serial_ = 1;
  std::vector<std::function<void()>> posted_;
  bool stopped_ = false;
};

// Drives the form's timer components (kind Timer) from the loop: a timer component whose
// Enabled is true fires its "OnTimer" handler every Interval milliseconds.
class FormTimers {
 public:
  FormTimers(Form& form, EventLoop& loop);
  ~FormTimers();
  FormTimers(const FormTimers&) = delete;
  FormTimers& operator=(const FormTimers&) = delete;

 private:
  void sync(const std::string& name);

  Form& form_;
  EventLoop& loop_;
  std::map<std::string, TimerId> ids_;
  int observer_ = 0;
};

}  // namespace tessomar::platform
