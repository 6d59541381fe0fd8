#include "qt_event_loop.h"

#include <QElapsedTimer>
#include <QEventLoop>

namespace tessomar::viewer {

QtEventLoop::QtEventLoop(const platform::Clock& clock) : clock_(clock) {}

QtEventLoop::~QtEventLoop() {
  // Nothing may call back into a half-destroyed loop: cut every connection first; the
  // anchor then deletes the Qt objects.
  for (auto& [id, t] : timers_) {
    t.qt->stop();
    QObject::disconnect(t.qt.get(), nullptr, nullptr, nullptr);
  }
  for (auto& [fd, w] : watches_) {
    retire(w.read);
    retire(w.write);
  }
}

platform::TimerId QtEventLoop::add_timer(int interval_ms, std::function<void()> callback) {
  platform::TimerId id = next_timer_++;
  Timer t;
  t.qt = std::make_unique<QTimer>();
  t.qt->setSingleShot(true);
  t.qt->setTimerType(Qt::PreciseTimer);
  t.interval_ms = interval_ms;
  t.callback = std::move(callback);
  QObject::connect(t.qt.get(), &QTimer::timeout, &anchor_, [this, id] { fire_timer(id); });
  timers_[id] = std::move(t);
  return id;
}

void QtEventLoop::set_timer(platform::TimerId id, bool enabled, int interval_ms) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  Timer& t = it->second;
  const bool restart = enabled && (!t.enabled || t.interval_ms != interval_ms);
  t.enabled = enabled;
  t.interval_ms = interval_ms;
  if (!enabled) {
    t.qt->stop();
  } else if (restart) {
    // Enabling starts a fresh interval rather than counting the time spent disabled.
    t.qt->start(interval_ms > 0 ? interval_ms : 0);
  }
}

void QtEventLoop::remove_timer(platform::TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  QTimer* qt = it->second.qt.release();
  qt->stop();
  QObject::disconnect(qt, nullptr, nullptr, nullptr);
  // The timer may be removing itself from inside its own timeout.
  qt->setParent(&anchor_);
  qt->deleteLater();
  timers_.erase(it);
}

void QtEventLoop::fire_timer(platform::TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end() || !it->second.enabled) return;
  Timer& t = it->second;
  // The next interval counts from this firing, as in the poll loop.
  t.qt->start(t.interval_ms > 0 ? t.interval_ms : 0);
  // Copy first: the callback may remove or replace this timer.
  auto cb = t.callback;
  cb();
}

QSocketNotifier* QtEventLoop::make_notifier(int fd, uint64_t serial, QSocketNotifier::Type type) {
  auto* n = new QSocketNotifier(qintptr(fd), type, &anchor_);
  const bool read = type == QSocketNotifier::Read;
  QObject::connect(n, &QSocketNotifier::activated, &anchor_,
                   [this, fd, serial, read] { on_activated(fd, serial, read); });
  return n;
}

void QtEventLoop::retire(QSocketNotifier*& n) {
  if (!n) return;
  n->setEnabled(false);
  QObject::disconnect(n, nullptr, nullptr, nullptr);
  n->deleteLater();
  n = nullptr;
}

void QtEventLoop::watch(int fd, bool want_read, bool want_write,
                        std::function<void(bool, bool)> callback) {
  auto [it, added] = watches_.try_emplace(fd);
  Watch& w = it->second;
  if (added) w.serial = next_watch_serial_++;
  w.want_read = want_read;
  w.want_write = want_write;
  w.callback = std::move(callback);
  // Notifiers are made on first interest and then only switched, since the socket code
  // changes its interest on every send.
  if (want_read && !w.read) w.read = make_notifier(fd, w.serial, QSocketNotifier::Read);
  if (want_write && !w.write) w.write = make_notifier(fd, w.serial, QSocketNotifier::Write);
  if (w.read && w.read->isEnabled() != want_read) w.read->setEnabled(want_read);
  if (w.write && w.write->isEnabled() != want_write) w.write->setEnabled(want_write);
}

void QtEventLoop::unwatch(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  retire(it->second.read);
  retire(it->second.write);
  watches_.erase(it);
}

void QtEventLoop::on_activated(int fd, uint64_t serial, bool read) {
  auto it = watches_.find(fd);
  // The watch was dropped, or dropped and a new descriptor with the same number watched.
  if (it == watches_.end() || it->second.serial != serial) return;
  const Watch& w = it->second;
  const bool readable = read && w.want_read;
  const bool writable = !read && w.want_write;
  if (!readable && !writable) return;
  auto cb = w.callback;
  cb(readable, writable);
}

void QtEventLoop::post(std::function<void()> call) {
  posted_.push_back(std::move(call));
  if (flush_scheduled_) return;
  flush_scheduled_ = true;
  QTimer::singleShot(0, &anchor_, [this] { run_posted(); });
}

void QtEventLoop::run_posted() {
  flush_scheduled_ = false;
  // Calls posted while these run wait for the next round.
  std::vector<std::function<void()>> now;
  now.swap(posted_);
  for (auto& c : now) c();
}

bool QtEventLoop::run_until(const std::function<bool()>& done, int timeout_ms) {
  if (done()) return true;
  QElapsedTimer elapsed;
  elapsed.start();
  QEventLoop local;
  QTimer check;
  check.setInterval(10);
  QObject::connect(&check, &QTimer::timeout, &local, [&] {
    if (done() || elapsed.elapsed() >= timeout_ms) local.quit();
  });
  check.start();
  local.exec();
  return done();
}

}  // namespace tessomar::viewer
