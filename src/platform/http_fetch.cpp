#include "platform/http_fetch.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace tessomar::platform {

namespace {

long long ms_until(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now())
      .count();
}

// Connects a non-blocking socket to the address before the deadline; the descriptor, or -1
// with the error.
int connect_before(const SocketAddress& a, std::chrono::steady_clock::time_point deadline,
                   int& err) {
  int fd = ::socket(a.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  err = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      err = ETIMEDOUT;
      for (long long left = ms_until(deadline); left > 0; left = ms_until(deadline)) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, int(left)) > 0) {
          socklen_t len = sizeof err;
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
          break;
        }
      }
    }
  }
  if (err != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool parse_http_url(std::string_view url, UrlParts& out, std::string& error) {
  constexpr std::string_view kScheme = "http://";
  if (url.substr(0, kScheme.size()) != kScheme) {
    error = "only http:// addresses are supported: " + std::string(url);
    return false;
  }
  std::string_view rest = url.substr(kScheme.size());
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  size_t colon = authority.rfind(':');
  if (authority.substr(0, 1) == "[") {
    // An IPv6 address: its colons are not the port's.
    size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1 ||
        (close + 1 < authority.size() && authority[close + 1] != ':')) {
      error = "bad IPv6 host in address: " + std::string(url);
      return false;
    }
    colon = close + 1 < authority.size() ? close + 1 : std::string_view::npos;
  }
  out.port = 80;
  if (colon != std::string_view::npos) {
    std::string_view port = authority.substr(colon + 1);
    int p = 0;
    if (port.empty()) p = -1;
    for (char c : port) {
      if (c < '0' || c > '9' || p > 65535) {
        p = -1;
        break;
      }
      p = p * 10 + (c - '0');
    }
    if (p <= 0 || p > 65535) {
      error = "bad port in address: " + std::string(url);
      return false;
    }
    out.port = p;
    authority = authority.substr(0, colon);
  }
  if (authority.empty()) {
    error = "no host in address: " + std::string(url);
    return false;
  }
  out.host = std::string(authority);
  return true;
}

bool http_get(std::string_view url, int timeout_ms, std::string& body, std::string& error) {
  return http_get(url, timeout_ms, body, error, resolve_stream);
}

bool http_get(std::string_view url, int timeout_ms, std::string& body, std::string& error,
              const Resolver& resolve) {
  UrlParts u;
  if (!parse_http_url(url, u, error)) return false;
  std::vector<SocketAddress> addresses;
  if (!resolve(u.host, u.port, addresses) || addresses.empty()) {
    error = "cannot resolve " + u.host;
    return false;
  }
  // Non-blocking from the start: a host that drops the connection attempt must not hold
  // the caller past its time limit.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto ms_left = [&deadline] { return ms_until(deadline); };
  // Every address in turn: "localhost" may name ::1 first and the server listen on 127.0.0.1.
  int fd = -1;
  int err = ECONNREFUSED;
  for (const SocketAddress& a : addresses) {
    fd = connect_before(a, deadline, err);
    if (fd >= 0 || ms_left() <= 0) break;
  }
  if (fd < 0) {
    error =
        "cannot connect to " + u.host + ":" + std::to_string(u.port) + ": " + std::strerror(err);
    return false;
  }
  std::string request = "GET " + u.path + " HTTP/1.0\r\nHost: " + u.host + "\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    error = "cannot send request";
    ::close(fd);
    return false;
  }
  std::string reply;
  char buf[4096];
  for (;;) {
    auto left = ms_left();
    if (left <= 0) {
      error = "no complete reply from " + std::string(url) + " in time";
      ::close(fd);
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(left)) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n < 0) {
      error = std::string("receive failed: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    reply.append(buf, size_t(n));
    if (reply.size() > (8u << 20)) {
      error = "reply too large";
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) {
    error = "malformed HTTP reply from " + std::string(url);
    return false;
  }
  std::string status = reply.substr(0, reply.find("\r\n"));
  if (status.find(" 200") == std::string::npos) {
    error = "HTTP error from " + std::string(url) + ": " + status;
    return false;
  }
  body = reply.substr(end + 4);
  return true;
}

}  // namespace tessomar::platform
