#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/event_loop.h"
#include "platform/log.h"

namespace tessomar::platform {

namespace {

// getaddrinfo wants an IPv6 address without the brackets of "[::1]".
std::string bare_host(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

// The owner may have sized the buffers of the first attempt's descriptor; the next attempt's
// descriptor gets the same sizes. Linux reports twice the size that was set, and a size
// equal to a fresh socket's default was never set.
void carry_buffer_sizes(int from, int to) {
  for (int option : {SO_RCVBUF, SO_SNDBUF}) {
    int set = 0, fresh = 0;
    socklen_t len = sizeof set;
    if (::getsockopt(from, SOL_SOCKET, option, &set, &len) != 0) continue;
    len = sizeof fresh;
    if (::getsockopt(to, SOL_SOCKET, option, &fresh, &len) != 0 || set == fresh) continue;
    int size = set / 2;
    ::setsockopt(to, SOL_SOCKET, option, &size, sizeof size);
  }
}

}  // namespace

bool resolve_stream(const std::string& host, int port, std::vector<SocketAddress>& out) {
  out.clear();
  const std::string name = bare_host(host);
  if (name.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* res = nullptr;
  if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = ai->ai_addrlen;
    out.push_back(a);
  }
  ::freeaddrinfo(res);
  return !out.empty();
}

std::string address_text(const SocketAddress& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (a.storage.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a.storage);
    inet_ntop(AF_INET6, &v6.sin6_addr, buf, sizeof buf);
    return "[" + std::string(buf) + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(a.storage);
  inet_ntop(AF_INET, &v4.sin_addr, buf, sizeof buf);
  return std::string(buf) + ":" + std::to_string(ntohs(v4.sin_port));
}

ClientSocket::ClientSocket(EventLoop& loop, const Logger& logger)
    : loop_(loop), logger_(logger), alive_(std::make_shared<bool>(true)) {
  resume_timer_ = loop_.add_timer(10, [this] {
    loop_.set_timer(resume_timer_, false, 10);
    read_paused_ = false;
    update_watch();
  });
}

ClientSocket::~ClientSocket() {
  *alive_ = false;
  loop_.remove_timer(resume_timer_);
  if (fd_ >= 0) {
    loop_.unwatch(fd_);
    ::close(fd_);
    fd_ = -1;
  }
}

void ClientSocket::set_active(bool active) {
  if (active) {
    if (fd_ < 0) open();
    return;
  }
  if (fd_ < 0) return;
  close_fd();
  if (on_disconnect) on_disconnect(*this);
}

bool ClientSocket::set_buffer_sizes(int receive, int send) {
  if (fd_ < 0) return false;
  bool ok = true;
  for (auto [option, size] : {std::pair{SO_RCVBUF, receive}, std::pair{SO_SNDBUF, send}}) {
    if (size > 0) ok = ::setsockopt(fd_, SOL_SOCKET, option, &size, sizeof size) == 0 && ok;
  }
  return ok;
}

void ClientSocket::close_fd() {
  loop_.unwatch(fd_);
  ::close(fd_);
  fd_ = -1;
  connected_ = false;
  read_paused_ = false;
  stalled_ = false;
  out_.clear();
  out_pos_ = 0;
  addresses_.clear();
  next_address_ = 0;
  ++generation_;
}

std::string ClientSocket::peer_text() const {
  const bool v6 = host_.find(':') != std::string::npos && host_[0] != '[';
  return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

ClientSocket::Failure ClientSocket::connect_failure(int error_code) const {
  return {error_code, "cannot connect to " + peer_text() + ": " + std::strerror(error_code)};
}

void ClientSocket::fail(Failure failure) {
  error_repeated_ = failure.why == last_error_;
  last_error_ = std::move(failure.why);
  unresolved_ = failure.unresolved;
  int code = failure.code;
  if (on_error) on_error(*this, code);
  if (code != 0) {
    logger_.warning("socket: " + last_error_);
    // An unhandled failure still leaves no half-open socket behind.
    if (fd_ >= 0) set_active(false);
  }
}

void ClientSocket::open() {
  ++generation_;
  connected_ = false;
  stalled_ = false;
  out_.clear();
  out_pos_ = 0;
  addresses_.clear();
  next_address_ = 0;

  // Resolution and every failure are reported asynchronously, as a real connect would be.
  Failure failure;
  if (port_ <= 0 || port_ > 65535) {
    failure = connect_failure(ECONNREFUSED);
  } else if (!(resolver_ ? resolver_(host_, port_, addresses_)
                         : resolve_stream(host_, port_, addresses_)) ||
             addresses_.empty()) {
    // Fails at once: a name that does not resolve will not connect later either.
    failure = {EHOSTUNREACH, "cannot resolve " + host_, true};
  } else if (int err = connect_next(); err != 0) {
    failure = connect_failure(err);
  }
  if (failure.code == 0) {
    update_watch();
    return;
  }
  if (fd_ < 0) {
    // Keep a descriptor so the socket counts as open until the failure is delivered.
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
  }
  post_failure(std::move(failure));
}

int ClientSocket::connect_next() {
  int err = ECONNREFUSED;
  while (next_address_ < addresses_.size()) {
    const SocketAddress& a = addresses_[next_address_++];
    int fd = ::socket(a.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      err = errno;
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0 &&
        errno != EINPROGRESS) {
      err = errno;
      ::close(fd);
      continue;
    }
    adopt(fd);
    return 0;
  }
  return err;
}

void ClientSocket::adopt(int fd) {
  if (fd_ < 0) {
    fd_ = fd;
    return;
  }
  // The descriptor keeps its number: the owner may hold it from handle().
  carry_buffer_sizes(fd_, fd);
  loop_.unwatch(fd_);
  if (::dup3(fd, fd_, O_CLOEXEC) < 0) {
    ::close(fd_);
    fd_ = fd;
    return;
  }
  ::close(fd);
}

void ClientSocket::post_failure(Failure failure) {
  // Failures arrive as events, never inside the call that caused them; a socket that was
  // closed, reopened or destroyed meanwhile no longer hears about them.
  uint64_t gen = generation_;
  std::weak_ptr<bool> alive = alive_;
  loop_.post([this, gen, failure = std::move(failure), alive]() mutable {
    auto a = alive.lock();
    if (!a || !*a || gen != generation_ || fd_ < 0) return;
    fail(std::move(failure));
  });
}

void ClientSocket::post_stall() {
  uint64_t gen = generation_;
  std::weak_ptr<bool> alive = alive_;
  loop_.post([this, gen, alive] {
    auto a = alive.lock();
    if (!a || !*a || gen != generation_ || fd_ < 0) return;
    logger_.warning("socket " + peer_text() + ": the peer stopped reading, closing");
    set_active(false);
  });
}

void ClientSocket::update_watch() {
  if (fd_ < 0) return;
  bool want_write = !connected_ || out_pos_ < out_.size();
  loop_.watch(fd_, connected_ && !read_paused_, want_write,
              [this](bool readable, bool writable) { on_ready(readable, writable); });
}

void ClientSocket::on_ready(bool readable, bool writable) {
  uint64_t gen = generation_;
  if (!connected_) {
    if (!writable && !readable) return;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      // The next address may answer where this one did not.
      if (next_address_ < addresses_.size()) {
        int next_err = connect_next();
        if (next_err == 0) {
          update_watch();
          return;
        }
        err = next_err;
      }
      fail(connect_failure(err));
      // A failure the handler suppressed without closing leaves a dead socket: stop
      // watching it, or its lasting writability would later pass for a completed connect.
      if (gen == generation_ && fd_ >= 0) loop_.unwatch(fd_);
      return;
    }
    connected_ = true;
    last_error_.clear();
    unresolved_ = false;
    error_repeated_ = false;
    update_watch();
    if (on_connect) on_connect(*this);
    return;
  }
  if (writable) {
    flush();
    if (gen != generation_) return;
    if (on_write) on_write(*this);
    if (gen != generation_) return;
  }
  if (readable) {
    int avail = receive_length();
    if (avail <= 0) {
      // Readable with nothing to read: the peer closed or the connection failed.
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        fail({err, "connection to " + peer_text() + " failed: " + std::strerror(err)});
      } else {
        set_active(false);
      }
      return;
    }
    if (on_read) on_read(*this);
    if (gen == generation_ && receive_length() >= avail) {
      read_paused_ = true;
      update_watch();
      loop_.set_timer(resume_timer_, true, 10);
    }
  }
}

int ClientSocket::receive_length() const {
  if (fd_ < 0 || !connected_) return 0;
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) != 0) return 0;
  return n;
}

int ClientSocket::receive_buf(uint8_t* buffer, int n) {
  if (fd_ < 0 || !connected_ || n <= 0) return 0;
  ssize_t got = ::recv(fd_, buffer, size_t(n), 0);
  return got > 0 ? int(got) : 0;
}

int ClientSocket::send_buf(const uint8_t* data, int n) {
  if (fd_ < 0 || !connected_ || stalled_ || n < 0) return -1;
  if (out_.size() - out_pos_ + size_t(n) > kMaxUnsentBytes) {
    // The peer has stopped reading: as good as a lost connection, reported as one.
    stalled_ = true;
    post_stall();
    return -1;
  }
  if (out_pos_ > 0 && out_pos_ * 2 >= out_.size()) {
    out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(out_pos_));
    out_pos_ = 0;
  }
  out_.insert(out_.end(), data, data + n);
  flush();
  return n;
}

void ClientSocket::flush() {
  while (fd_ >= 0 && out_pos_ < out_.size()) {
    ssize_t sent = ::send(fd_, out_.data() + out_pos_, out_.size() - out_pos_, MSG_NOSIGNAL);
    if (sent > 0) {
      out_pos_ += size_t(sent);
      continue;
    }
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
    int err = sent < 0 ? errno : EPIPE;
    post_failure({err, "connection to " + peer_text() + " failed: " + std::strerror(err)});
    return;
  }
  update_watch();
}

}  // namespace tessomar::platform
