#include "dvrsim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dvrsim/identity.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Input kept per connection: one maximal request plus room for the next one's start.
constexpr size_t kInputCapacity = link::kUlcmHeaderSize + kMaxRequestPayload + 4096;
// A page request whose header does not end within this many bytes is answered anyway.
constexpr size_t kMaxPageRequest = 8192;
// Pause between the chunks of a split reply so that they leave as separate segments.
constexpr auto kSplitPause = std::chrono::microseconds(200);

constexpr uint32_t kTagVido = link::make_tag("VIDO");
// Offsets in a VIDO message: common header, sub-header (key, sub-tag), then the record.
constexpr size_t kVidoSubTag = link::kMessageHeaderSize + 4;
constexpr size_t kVidoRecord = 2 * link::kMessageHeaderSize;
constexpr size_t kRecordKind = kVidoRecord + 48;
constexpr uint32_t kKindAudio = 2;
// An oversize record: more than the control's video channel buffer (270336 bytes), less than
// a reply the control can receive at all.
constexpr size_t kOversizeMessage = 280000;

// A VIDO frame record of a picture (not an audio block).
bool is_video_record(std::span<const uint8_t> m) {
  return m.size() >= kRecordKind + 4 && platform::load_u32le(m.data() + 4) == kTagVido &&
         platform::load_u32le(m.data() + kVidoSubTag) == 0 &&
         platform::load_u32le(m.data() + kRecordKind) != kKindAudio;
}

bool due(uint32_t now_ms, uint32_t at_ms) { return int32_t(now_ms - at_ms) >= 0; }

// The host part of an address, without brackets; an IPv4 client of a dual-stack listener
// shows as its IPv4 address.
std::string host_text(const sockaddr_storage& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      inet_ntop(AF_INET, v6.s6_addr + 12, buf, sizeof buf);
    } else {
      inet_ntop(AF_INET6, &v6, buf, sizeof buf);
    }
  } else {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, buf, sizeof buf);
  }
  return buf;
}

uint16_t port_of(const sockaddr_storage& a) {
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                       : reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

std::string host_port(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string address_text(const sockaddr_storage& a) { return host_port(host_text(a), port_of(a)); }

void set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

// Handed to channel handlers while one request's messages are dispatched.
class Simulator::Context final : public ChannelContext {
 public:
  Context(Simulator& sim, uint32_t key) : sim_(sim), key_(key) {}
  uint32_t session_key() const override { return key_; }
  bool queue(std::span<const uint8_t> message) override {
    return sim_.queue_message(key_, message);
  }

 private:
  Simulator& sim_;
  uint32_t key_;
};

Simulator::Simulator(Options options)
    : options_(std::move(options)),
      own_clock_(std::make_unique<platform::SystemClock>()),
      clock_(*own_clock_),
      split_rng_(options_.faults.seed),
      fault_rng_(options_.faults.seed + 1) {
  credentials_ = {std::to_string(options_.user_level), options_.password};
}

Simulator::Simulator(Options options, const platform::Clock& clock)
    : options_(std::move(options)),
      clock_(clock),
      split_rng_(options_.faults.seed),
      fault_rng_(options_.faults.seed + 1) {
  credentials_ = {std::to_string(options_.user_level), options_.password};
}

Simulator::~Simulator() { stop(); }

void Simulator::log(const std::string& line) {
  if (logger_) {
    logger_(line);
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void Simulator::set_logger(std::function<void(std::string_view)> logger) {
  logger_ = std::move(logger);
}

void Simulator::add_session_listener(std::function<void(SessionEvent, uint32_t)> listener) {
  session_listeners_.push_back(std::move(listener));
}

void Simulator::add_tick_hook(std::function<void(uint32_t)> hook, std::function<bool()> busy) {
  tick_hooks_.push_back({std::move(hook), std::move(busy)});
}

bool Simulator::ticks_wanted() const {
  for (const TickHook& h : tick_hooks_) {
    if (h.busy ? h.busy() : sessions_.any_connected()) return true;
  }
  return false;
}

std::string Simulator::address() const { return host_port(host_, port_); }

void Simulator::notify(SessionEvent e, uint32_t key) {
  for (auto& l : session_listeners_) l(e, key);
}

int Simulator::listen_on(const std::string& host, uint16_t port) {
  sockaddr_storage addr{};
  socklen_t len = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(addr);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(addr);
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    len = sizeof v4;
  } else if (addr = {}; inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    len = sizeof v6;
  } else {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (addr.ss_family == AF_INET6) {
    // "::" takes IPv4 clients too; any other IPv6 address only itself.
    int v6_only = IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr) ? 0 : 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 16) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool Simulator::bind(std::string* error) {
  if (!listen_fds_.empty()) return true;
  const int fd = listen_on(options_.host, options_.port);
  sockaddr_storage actual{};
  socklen_t len = sizeof actual;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&actual), &len) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (error) {
      *error = (err == EINVAL ? "bad listen address '" + options_.host + "'"
                              : "cannot listen on " + host_port(options_.host, options_.port)) +
               ": " + std::strerror(err);
    }
    return false;
  }
  listen_fds_.push_back(fd);
  host_ = options_.host;
  port_ = port_of(actual);
  if (host_ == "127.0.0.1") {
    // Loopback either way: a client whose "localhost" is ::1 first finds the same port.
    const int v6 = listen_on("::1", port_);
    if (v6 >= 0) {
      listen_fds_.push_back(v6);
    } else {
      log("not listening on " + host_port("::1", port_) + ": " + std::strerror(errno));
    }
  }
  dvr_uk_ = make_dvr_uk(credentials_, clock_.unix_now());
  return true;
}

void Simulator::stop() {
  for (auto& c : connections_) {
    if (c->fd >= 0) ::close(c->fd);
    c->fd = -1;
  }
  connections_.clear();
  for (int fd : listen_fds_) ::close(fd);
  listen_fds_.clear();
}

bool Simulator::one_in(uint32_t n) { return n != 0 && fault_rng_() % n == 0; }

bool Simulator::enqueue(uint32_t key, std::span<const uint8_t> message) {
  if (message.size() >= link::kMessageHeaderSize && one_in(options_.faults.bad_checksum_one_in)) {
    std::vector<uint8_t> bad(message.begin(), message.end());
    platform::store_u32le(bad.data() + 8, platform::load_u32le(bad.data() + 8) + 1);
    if (!sessions_.queue_message(key, bad)) return false;
    ++counters_.bad_checksums;
    return true;
  }
  return sessions_.queue_message(key, message);
}

bool Simulator::queue_message(uint32_t key, std::span<const uint8_t> message) {
  const Faults& f = options_.faults;
  if (!is_video_record(message) || sessions_.find(key) == nullptr) {
    return enqueue(key, message);
  }
  // The producer counts a faulted record as sent, so its arrival key is used up.
  if (one_in(f.drop_one_in)) {
    ++counters_.records_dropped;
    return true;
  }
  if (one_in(f.oversize_one_in)) {
    std::vector<uint8_t> big(message.begin(), message.end());
    big.resize(std::max(big.size(), kOversizeMessage), 0);
    platform::store_u32le(big.data(), uint32_t(big.size()));
    platform::store_u32le(big.data() + kVidoRecord, uint32_t(big.size() - kVidoRecord));
    platform::store_u32le(big.data() + 8,
                          link::message_checksum(big.data() + link::kMessageHeaderSize,
                                                 uint32_t(big.size() - link::kMessageHeaderSize)));
    if (!enqueue(key, big)) return false;
    ++counters_.records_oversized;
    return true;
  }
  if (auto held = held_records_.find(key); held != held_records_.end()) {
    const std::vector<uint8_t> earlier = std::move(held->second);
    held_records_.erase(held);
    const bool ok = enqueue(key, message);
    enqueue(key, earlier);
    return ok;
  }
  if (one_in(f.reorder_one_in)) {
    held_records_[key].assign(message.begin(), message.end());
    ++counters_.records_reordered;
    return true;
  }
  return enqueue(key, message);
}

std::string Simulator::counters_text() const {
  const Counters& c = counters_;
  return "video_records_sent=" + std::to_string(c.video_records_sent) +
         " replies_sent=" + std::to_string(c.replies_sent) +
         " records_reordered=" + std::to_string(c.records_reordered) +
         " records_dropped=" + std::to_string(c.records_dropped) +
         " records_oversized=" + std::to_string(c.records_oversized) +
         " bad_checksums=" + std::to_string(c.bad_checksums) +
         " stalls=" + std::to_string(c.stalls) +
         " sessions_forgotten=" + std::to_string(c.sessions_forgotten) +
         " rekeys=" + std::to_string(c.rekeys);
}

bool Simulator::stalled(uint32_t now_ms) {
  if (!stall_on_) return false;
  if (options_.faults.stall_ms == 0 || !due(now_ms, stall_end_ms_)) return true;
  stall_on_ = false;
  log("fault: stall over");
  return false;
}

void Simulator::count_sent_records(std::span<const uint8_t> payload) {
  size_t off = 0;
  while (payload.size() - off >= link::kMessageHeaderSize) {
    const uint32_t n = platform::load_u32le(payload.data() + off);
    if (n < link::kMessageHeaderSize || n > payload.size() - off) return;
    if (is_video_record(payload.subspan(off, n))) ++counters_.video_records_sent;
    off += n;
  }
}

void Simulator::forget_sessions_when_due(uint32_t now_ms) {
  const uint32_t lifetime = options_.faults.forget_sessions_ms;
  if (lifetime == 0) return;
  for (uint32_t key : sessions_.keys()) {
    const Session* s = sessions_.find(key);
    if (s == nullptr || !due(now_ms, s->opened_ms + lifetime)) continue;
    close_session(key, "fault: forgotten");
    ++counters_.sessions_forgotten;
  }
}

int Simulator::poll_once(int timeout_ms) {
  if (listen_fds_.empty()) return -1;
  forget_sessions_when_due(clock_.now_ms());
  service_held();
  for (auto& c : connections_) flush(*c);
  reap();

  const uint32_t now = clock_.now_ms();
  const auto steady_now = SteadyClock::now();
  int64_t wait_us = timeout_ms < 0 ? -1 : int64_t(timeout_ms) * 1000;
  auto cap = [&](int64_t us) {
    us = std::max<int64_t>(us, 0);
    if (wait_us < 0 || us < wait_us) wait_us = us;
  };
  // Producers are ticked every 10 ms only while they have work; with nobody connected the
  // loop sleeps until a connection, a due reply or a session's idle end.
  if (ticks_wanted()) cap(10000);
  // Sessions to forget are looked at every 10 ms.
  if (options_.faults.forget_sessions_ms != 0 && sessions_.size() > 0) cap(10000);
  if (const int64_t idle = sessions_.ms_to_next_idle(now, kSessionIdleMs); idle >= 0) {
    cap(idle * 1000);
  }

  std::vector<pollfd> fds;
  fds.reserve(connections_.size() + listen_fds_.size() + 1);
  for (int fd : listen_fds_) fds.push_back({fd, POLLIN, 0});
  if (wake_fd_ >= 0) fds.push_back({wake_fd_, POLLIN, 0});
  const size_t first_conn = fds.size();
  for (auto& cp : connections_) {
    Connection& c = *cp;
    short events = 0;
    if (c.in.size() - c.in_off < kInputCapacity && !c.close_after_flush) events |= POLLIN;
    if (c.holding) cap(int64_t(int32_t(c.held_since_ms + options_.poll_idle_ms - now)) * 1000);
    if (!c.out.empty()) {
      const Outgoing& o = c.out.front();
      if (stall_on_) {
        if (options_.faults.stall_ms != 0) cap(int64_t(int32_t(stall_end_ms_ - now)) * 1000);
      } else if (!due(now, o.ready_ms)) {
        cap(int64_t(int32_t(o.ready_ms - now)) * 1000);
      } else if (options_.faults.split && steady_now < c.next_chunk_at) {
        cap(std::chrono::duration_cast<std::chrono::microseconds>(c.next_chunk_at - steady_now)
                .count());
      } else {
        events |= POLLOUT;
      }
    }
    fds.push_back({c.fd, events, 0});
  }

  timespec ts{};
  timespec* tsp = nullptr;
  if (wait_us >= 0) {
    ts.tv_sec = wait_us / 1000000;
    ts.tv_nsec = (wait_us % 1000000) * 1000;
    tsp = &ts;
  }
  int ready = ::ppoll(fds.data(), fds.size(), tsp, nullptr);
  if (ready < 0) {
    if (errno != EINTR) log(std::string("poll failed: ") + std::strerror(errno));
    ready = 0;
  }

  if (ready > 0) {
    const size_t known = connections_.size();
    for (size_t i = 0; i < known; ++i) {
      const short rev = fds[first_conn + i].revents;
      Connection& c = *connections_[i];
      if (rev & (POLLIN | POLLHUP | POLLERR)) read_from(c);
      if ((rev & POLLOUT) && !c.dead) flush(c);
    }
    for (size_t i = 0; i < listen_fds_.size(); ++i) {
      if (fds[i].revents & POLLIN) accept_all(listen_fds_[i]);
    }
  }

  for (auto& c : connections_) process_input(*c);
  for (auto& hook : tick_hooks_) hook.run(clock_.now_ms());
  service_held();
  for (auto& c : connections_) flush(*c);

  for (uint32_t key : sessions_.idle_sessions(clock_.now_ms(), kSessionIdleMs)) {
    close_session(key, "idle");
  }
  reap();
  return ready;
}

void Simulator::accept_all(int listen_fd) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        log(std::string("accept failed: ") + std::strerror(errno));
      }
      return;
    }
    if (connections_.size() >= kMaxConnections) {
      log("refused connection from " + address_text(peer) + ": too many connections");
      ::close(fd);
      continue;
    }
    set_nonblocking(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->peer = address_text(peer);
    sockaddr_storage local{};
    socklen_t llen = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &llen) == 0) {
      c->local_host = host_text(local);
      c->local_port = port_of(local);
    } else {
      c->local_host = host_;
      c->local_port = port_;
    }
    log("connection accepted from " + c->peer);
    connections_.push_back(std::move(c));
  }
}

void Simulator::read_from(Connection& c) {
  if (c.dead) return;
  if (c.in_off > 0 && c.in_off * 2 >= c.in.size()) {
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(c.in_off));
    c.in_off = 0;
  }
  for (;;) {
    const size_t have = c.in.size() - c.in_off;
    if (have >= kInputCapacity) return;
    const size_t old = c.in.size();
    const size_t want = std::min<size_t>(kInputCapacity - have, 65536);
    c.in.resize(old + want);
    ssize_t n = ::recv(c.fd, c.in.data() + old, want, 0);
    if (n > 0) {
      c.in.resize(old + static_cast<size_t>(n));
      continue;
    }
    c.in.resize(old);
    if (n == 0) {
      kill(c, "closed by peer");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      kill(c, std::string("receive error: ") + std::strerror(errno));
    }
    return;
  }
}

void Simulator::flush(Connection& c) {
  const uint32_t now = clock_.now_ms();
  if (stalled(now)) return;
  while (!c.dead && !c.out.empty()) {
    Outgoing& o = c.out.front();
    if (!due(now, o.ready_ms)) return;
    size_t n = o.bytes.size() - o.sent;
    if (options_.faults.split) {
      const auto steady_now = SteadyClock::now();
      if (steady_now < c.next_chunk_at) return;
      n = std::min<size_t>(n, 1 + split_rng_() % 50);
      c.next_chunk_at = steady_now + kSplitPause;
    }
    ssize_t w = ::send(c.fd, o.bytes.data() + o.sent, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      kill(c, std::string("send error: ") + std::strerror(errno));
      return;
    }
    o.sent += static_cast<size_t>(w);
    if (o.sent < o.bytes.size()) {
      if (options_.faults.split) return;
      continue;
    }
    const bool was_reply = o.is_reply;
    c.out.pop_front();
    if (was_reply) {
      ++c.replies_sent;
      ++counters_.replies_sent;
      if (options_.faults.stall_after != 0 &&
          counters_.replies_sent == options_.faults.stall_after) {
        stall_on_ = true;
        stall_end_ms_ = now + options_.faults.stall_ms;
        ++counters_.stalls;
        log(options_.faults.stall_ms == 0
                ? std::string("fault: stalling for ever")
                : "fault: stalling for " + std::to_string(options_.faults.stall_ms) + " ms");
      }
      if (options_.faults.close_after != 0 && c.replies_sent >= options_.faults.close_after) {
        kill(c, "fault: closing after " + std::to_string(c.replies_sent) + " replies");
        return;
      }
    }
    if (options_.faults.split) return;
  }
  if (!c.dead && c.out.empty() && c.close_after_flush) kill(c, "page served");
}

void Simulator::process_input(Connection& c) {
  while (!c.dead && !c.holding && !c.close_after_flush) {
    const std::span<const uint8_t> in(c.in.data() + c.in_off, c.in.size() - c.in_off);
    if (c.kind == Kind::kUnknown) {
      if (in.size() < 4) return;
      c.kind = std::equal(in.begin(), in.begin() + 4, "GET ") ? Kind::kPage : Kind::kUlcm;
    }
    if (c.kind == Kind::kPage) {
      const std::string_view text(reinterpret_cast<const char*>(in.data()), in.size());
      if (text.find("\r\n\r\n") == std::string_view::npos && in.size() < kMaxPageRequest) return;
      const std::string page = build_page_reply(c.local_host, c.local_port,
                                                make_dvr_uk(credentials_, clock_.unix_now()));
      c.out.push_back({std::vector<uint8_t>(page.begin(), page.end()), 0, clock_.now_ms(), false});
      c.close_after_flush = true;
      c.in_off = c.in.size();
      log("page served to " + c.peer);
      return;
    }
    link::UlcmHeader h;
    if (!link::read_ulcm_header(in, h)) return;
    if (h.magic != link::kUlcmMagic || h.total_length < link::kUlcmHeaderSize ||
        h.total_length - link::kUlcmHeaderSize > kMaxRequestPayload) {
      kill(c, "bad frame (magic " + std::to_string(h.magic) + ", length " +
                  std::to_string(h.total_length) + ")");
      return;
    }
    if (in.size() < h.total_length) return;
    c.in_off += h.total_length;
    handle_request(c, h, in.subspan(link::kUlcmHeaderSize, h.total_length - link::kUlcmHeaderSize));
  }
}

void Simulator::handle_request(Connection& c, const link::UlcmHeader& h,
                               std::span<const uint8_t> payload) {
  // A control with wrong credentials must learn it, not retry for ever: the control ignores a
  // type 4 answer but drops the connection on a VASK refusal. So a session open is answered
  // with a key whatever the credentials (the control then sends its hello on that key), and
  // every frame that fails the check but names a live session is answered at once with a
  // refusal on that session, which is then closed. Other failing frames get an empty type 4.
  const AuthResult auth = check_auth(h.auth, credentials_, clock_.unix_now(), kMaxAuthSkewSeconds);
  const bool authorized = auth == AuthResult::kOk;
  if (!authorized) {
    log("refused: bad credentials from " + c.peer + " (" + auth_result_text(auth) + ")");
  }
  switch (h.type) {
    case link::kFrameSessionOpen:
      open_and_answer(c, h, "");
      return;
    case link::kFramePoll:
    case link::kFrameData:
    case link::kFrameDataPoll: {
      Session* s = sessions_.find(h.value);
      if (h.value == 0 || s == nullptr) {
        answer_unknown_key(c, h);
        return;
      }
      if (!authorized || over_limit_.count(h.value) != 0) {
        if (authorized) {
          log("refused: session limit of " + std::to_string(options_.max_sessions) +
              " reached, key=" + std::to_string(h.value) + " from " + c.peer);
        }
        // Sent directly rather than queued: whatever the session had queued is dropped with it.
        reply(c, h, link::kFrameData, h.value, build_vask_refusal(h.value));
        close_session(h.value, "refused");
        return;
      }
      bind_connection(c, h.value);
      s->last_used_ms = clock_.now_ms();
      if (h.type != link::kFramePoll && !payload.empty()) {
        Context ctx(*this, h.value);
        dispatch_messages(channels_, ctx, payload);
      }
      if (sessions_.has_queued(h.value)) {
        reply_data(c, h, h.value);
      } else {
        // Long poll: answered by service_held when messages arrive or the idle time ends.
        c.holding = true;
        c.held = h;
        c.held_since_ms = clock_.now_ms();
      }
      return;
    }
    default:
      reply(c, h, link::kFrameNone4, 0, {});
      return;
  }
}

void Simulator::reply(Connection& c, const link::UlcmHeader& request, uint32_t type, uint32_t value,
                      std::span<const uint8_t> payload) {
  link::UlcmHeader h;
  h.type = type;
  h.value = value;
  h.auth = link::make_auth_text(credentials_.user_level, credentials_.password,
                                static_cast<uint32_t>(clock_.unix_now()));
  h.slot_index = request.slot_index;
  h.socket_index = request.socket_index;
  const uint32_t n = ++c.replies_built;
  ReplyFault fault;
  fault.bad_status = options_.faults.bad_status_nth != 0 && n == options_.faults.bad_status_nth;
  fault.bad_magic = options_.faults.bad_magic_nth != 0 && n == options_.faults.bad_magic_nth;
  c.out.push_back(
      {build_reply(h, payload, fault), 0, clock_.now_ms() + options_.faults.delay_ms, true});
}

void Simulator::open_and_answer(Connection& c, const link::UlcmHeader& request, const char* why) {
  // Past the session limit the session still opens, so that its first frame learns it is
  // refused rather than retrying for ever.
  const bool over_limit =
      options_.max_sessions != 0 && sessions_.connected_count() >= options_.max_sessions;
  uint32_t evicted = 0;
  const uint32_t key = sessions_.open(clock_.unix_now(), clock_.now_ms(), evicted);
  if (evicted != 0) {
    log("session closed key=" + std::to_string(evicted) + " (table full)");
    for (auto& other : connections_) {
      if (other->bound_key == evicted) other->bound_key = 0;
    }
    held_records_.erase(evicted);
    over_limit_.erase(evicted);
    notify(SessionEvent::kClosed, evicted);
  }
  log("session opened key=" + std::to_string(key) + " by " + c.peer + why);
  if (over_limit) over_limit_.insert(key);
  bind_connection(c, key);
  notify(SessionEvent::kOpened, key);
  reply(c, request, link::kFrameSessionKey, key, {});
}

void Simulator::answer_unknown_key(Connection& c, const link::UlcmHeader& request) {
  if (!options_.faults.rekey) {
    reply(c, request, link::kFrameNone4, 0, {});
    return;
  }
  ++counters_.rekeys;
  open_and_answer(c, request,
                  (" (re-key of unknown key " + std::to_string(request.value) + ")").c_str());
}

void Simulator::reply_data(Connection& c, const link::UlcmHeader& request, uint32_t key) {
  std::vector<uint8_t> payload;
  sessions_.take_batch(key, kReplyPayloadBudget, payload);
  count_sent_records(payload);
  reply(c, request, link::kFrameData, key, payload);
}

void Simulator::service_held() {
  const uint32_t now = clock_.now_ms();
  for (auto& cp : connections_) {
    Connection& c = *cp;
    if (!c.holding || c.dead) continue;
    const uint32_t key = c.held.value;
    const bool known = sessions_.find(key) != nullptr;
    if (known && sessions_.has_queued(key)) {
      c.holding = false;
      reply_data(c, c.held, key);
    } else if (!known) {
      c.holding = false;
      answer_unknown_key(c, c.held);
    } else if (due(now, c.held_since_ms + options_.poll_idle_ms)) {
      c.holding = false;
      reply(c, c.held, link::kFrameData, key, {});
    }
    // A released connection may have further requests buffered.
    if (!c.holding) process_input(c);
  }
}

void Simulator::bind_connection(Connection& c, uint32_t key) {
  if (c.bound_key == key) return;
  unbind_connection(c);
  c.bound_key = key;
  if (Session* s = sessions_.find(key)) ++s->connections;
}

void Simulator::unbind_connection(Connection& c) {
  const uint32_t key = c.bound_key;
  c.bound_key = 0;
  Session* s = sessions_.find(key);
  if (s == nullptr) return;
  --s->connections;
  s->last_used_ms = clock_.now_ms();
  if (s->connections == 0) {
    log("session idle key=" + std::to_string(key) + " (no connections)");
    notify(SessionEvent::kDetached, key);
  }
}

void Simulator::close_session(uint32_t key, const char* why) {
  held_records_.erase(key);
  over_limit_.erase(key);
  if (!sessions_.close(key)) return;
  for (auto& c : connections_) {
    if (c->bound_key == key) c->bound_key = 0;
  }
  log("session closed key=" + std::to_string(key) + " (" + why + ")");
  notify(SessionEvent::kClosed, key);
}

void Simulator::kill(Connection& c, std::string reason) {
  if (c.dead) return;
  c.dead = true;
  c.holding = false;
  c.close_reason = std::move(reason);
}

void Simulator::reap() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = **it;
    if (!c.dead) {
      ++it;
      continue;
    }
    unbind_connection(c);
    ::close(c.fd);
    log("connection closed " + c.peer + ": " + c.close_reason);
    it = connections_.erase(it);
  }
}

}  // namespace tessomar::dvrsim
