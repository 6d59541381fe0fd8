#include "platform/event_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/form.h"
#include "platform/socket.h"

namespace tessomar::platform {

std::unique_ptr<ClientSocket> EventLoop::create_socket(const Logger& logger) {
  return std::make_unique<ClientSocket>(*this, logger);
}

TimerId PollEventLoop::add_timer(int interval_ms, std::function<void()> callback) {
  TimerId id = next_timer_++;
  Timer t;
  t.interval_ms = interval_ms;
  t.callback = std::move(callback);
  t.last_ms = clock_.now_ms();
  timers_[id] = std::move(t);
  return id;
}

void PollEventLoop::set_timer(TimerId id, bool enabled, int interval_ms) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  if (enabled && !it->second.enabled) it->second.last_ms = clock_.now_ms();
  it->second.enabled = enabled;
  it->second.interval_ms = interval_ms;
}

void PollEventLoop::remove_timer(TimerId id) { timers_.erase(id); }

void PollEventLoop::watch(int fd, bool want_read, bool want_write,
                          std::function<void(bool, bool)> callback) {
  auto [it, added] = watches_.try_emplace(fd);
  if (added) it->second.serial = next_watch_serial_++;
  it->second.want_read = want_read;
  it->second.want_write = want_write;
  it->second.callback = std::move(callback);
}

void PollEventLoop::unwatch(int fd) { watches_.erase(fd); }

void PollEventLoop::post(std::function<void()> call) { posted_.push_back(std::move(call)); }

void PollEventLoop::run_posted() {
  // Calls posted while these run wait for the next round.
  std::vector<std::function<void()>> now;
  now.swap(posted_);
  for (auto& c : now) c();
}

int PollEventLoop::ms_to_next_timer() const {
  int best = -1;
  uint32_t now = clock_.now_ms();
  for (const auto& [id, t] : timers_) {
    if (!t.enabled) continue;
    uint32_t elapsed = now - t.last_ms;
    int left = elapsed >= uint32_t(t.interval_ms) ? 0 : int(uint32_t(t.interval_ms) - elapsed);
    if (best < 0 || left < best) best = left;
  }
  return best;
}

void PollEventLoop::run_due_timers() {
  std::vector<TimerId> due;
  uint32_t now = clock_.now_ms();
  for (const auto& [id, t] : timers_) {
    if (t.enabled && now - t.last_ms >= uint32_t(t.interval_ms)) due.push_back(id);
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    // A callback may have disabled or removed another due timer.
    if (it == timers_.end() || !it->second.enabled) continue;
    it->second.last_ms = clock_.now_ms();
    auto cb = it->second.callback;
    cb();
  }
}

void PollEventLoop::run_once(int max_wait_ms) {
  int wait = max_wait_ms;
  if (!posted_.empty()) wait = 0;
  int timer_wait = ms_to_next_timer();
  if (timer_wait >= 0 && (wait < 0 || timer_wait < wait)) wait = timer_wait;

  std::vector<pollfd> fds;
  std::vector<uint64_t> serials;
  fds.reserve(watches_.size());
  serials.reserve(watches_.size());
  for (const auto& [fd, w] : watches_) {
    short events = 0;
    if (w.want_read) events |= POLLIN;
    if (w.want_write) events |= POLLOUT;
    if (events) {
      fds.push_back(pollfd{fd, events, 0});
      serials.push_back(w.serial);
    }
  }
  int n = ::poll(fds.data(), fds.size(), wait);
  run_posted();
  if (n > 0) {
    for (size_t i = 0; i < fds.size(); ++i) {
      const pollfd& p = fds[i];
      if (!p.revents) continue;
      auto it = watches_.find(p.fd);
      // An earlier callback of this round may have dropped the watch, or dropped it and
      // watched a new descriptor that got the same number.
      if (it == watches_.end() || it->second.serial != serials[i]) continue;
      bool readable = p.revents & (POLLIN | POLLHUP | POLLERR);
      bool writable = p.revents & (POLLOUT | POLLERR);
      auto cb = it->second.callback;
      cb(readable && it->second.want_read, writable && it->second.want_write);
    }
  }
  run_due_timers();
  run_posted();
}

void PollEventLoop::run_for(uint32_t ms) {
  run_until([] { return false; }, ms);
}

bool PollEventLoop::run_until(const std::function<bool()>& done, uint32_t timeout_ms) {
  uint32_t start = clock_.now_ms();
  stopped_ = false;
  while (!stopped_) {
    if (done()) return true;
    uint32_t elapsed = clock_.now_ms() - start;
    if (elapsed >= timeout_ms) break;
    run_once(int(std::min<uint32_t>(timeout_ms - elapsed, 50)));
  }
  return done();
}

FormTimers::FormTimers(Form& form, EventLoop& loop) : form_(form), loop_(loop) {
  for (const auto& c : form_.components()) {
    if (c->kind() != ComponentKind::Timer) continue;
    const std::string name = c->name();
    ids_[name] = loop_.add_timer(c->interval_ms(), [this, name] {
      Component* t = form_.find(name);
      if (t && t->enabled()) t->fire("OnTimer");
    });
    sync(name);
  }
  observer_ = form_.add_observer([this](Component& c, Property p) {
    if (c.kind() == ComponentKind::Timer && (p == Property::Enabled || p == Property::Interval)) {
      sync(c.name());
    }
  });
}

FormTimers::~FormTimers() {
  form_.remove_observer(observer_);
  for (const auto& [name, id] : ids_) loop_.remove_timer(id);
}

void FormTimers::sync(const std::string& name) {
  auto it = ids_.find(name);
  if (it == ids_.end()) return;
  const Component& c = form_[name];
  loop_.set_timer(it->second, c.enabled() && c.interval_ms() > 0, c.interval_ms());
}

}  // namespace tessomar::platform
