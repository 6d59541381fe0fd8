#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/event_loop.h"
#include "platform/log.h"

namespace tessomar::platform {

ClientSocket::ClientSocket(EventLoop& loop) : loop_(loop), alive_(std::make_shared<bool>(true)) {
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

void ClientSocket::close_fd() {
  loop_.unwatch(fd_);
  ::close(fd_);
  fd_ = -1;
  connected_ = false;
  read_paused_ = false;
  out_.clear();
  out_pos_ = 0;
  ++generation_;
}

void ClientSocket::fail(int error_code) {
  int code = error_code;
  if (on_error) on_error(*this, code);
  if (code != 0) {
    log(LogLevel::Warning, "socket " + host_ + ":" + std::to_string(port_) + " error: " +
                               std::strerror(error_code));
    // An unhandled failure still leaves no half-open socket behind.
    if (fd_ >= 0) set_active(false);
  }
}

void ClientSocket::open() {
  ++generation_;
  connected_ = false;
  out_.clear();
  out_pos_ = 0;

  // Resolution and every failure are reported asynchronously, as a real connect would be.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string port = std::to_string(port_);
  int gai = ::getaddrinfo(host_.c_str(), port.c_str(), &hints, &res);
  int fd = -1;
  int err = 0;
  if (gai != 0 || !res || port_ <= 0 || port_ > 65535) {
    err = EHOSTUNREACH;
    if (port_ <= 0 || port_ > 65535) err = ECONNREFUSED;
  } else {
    fd = ::socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                  res->ai_protocol);
    if (fd < 0) {
      err = errno;
    } else if (::connect(fd, res->ai_addr, res->ai_addrlen) != 0 && errno != EINPROGRESS) {
      err = errno;
    }
  }
  if (res) ::freeaddrinfo(res);

  if (fd < 0) {
    // Keep a descriptor so the socket counts as open until the failure is delivered.
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  }
  fd_ = fd;
  if (fd_ < 0) return;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  if (err != 0) {
    post_failure(err);
    return;
  }
  update_watch();
}

void ClientSocket::post_failure(int error_code) {
  // Failures arrive as events, never inside the call that caused them; a socket that was
  // closed, reopened or destroyed meanwhile no longer hears about them.
  uint64_t gen = generation_;
  std::weak_ptr<bool> alive = alive_;
  loop_.post([this, gen, error_code, alive] {
    auto a = alive.lock();
    if (!a || !*a || gen != generation_ || fd_ < 0) return;
    fail(error_code);
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
      fail(err);
      // A failure the handler suppressed without closing leaves a dead socket: stop
      // watching it, or its lasting writability would later pass for a completed connect.
      if (gen == generation_ && fd_ >= 0) loop_.unwatch(fd_);
      return;
    }
    connected_ = true;
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
        fail(err);
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
  if (fd_ < 0 || !connected_ || n < 0) return -1;
  if (out_pos_ == out_.size()) {
    out_.clear();
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
    post_failure(err);
    return;
  }
  update_watch();
}

}  // namespace tessomar::platform
