#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tessomar::testsupport {

LoopbackServer::LoopbackServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listen_fd_, 16);
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

LoopbackServer::~LoopbackServer() {
  for (int fd : accepted_) ::close(fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

int LoopbackServer::try_accept() {
  int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) accepted_.push_back(fd);
  return fd;
}

bool LoopbackServer::read_available(int fd, std::vector<uint8_t>& out) {
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
}

bool LoopbackServer::write_all(int fd, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

void LoopbackServer::close_fd(int fd) { ::shutdown(fd, SHUT_RDWR); }

}  // namespace tessomar::testsupport
