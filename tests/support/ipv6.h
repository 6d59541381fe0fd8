// Loopback addresses for the tests of address order, and whether this machine has an IPv6
// loopback to listen on (tests of IPv6 paths skip without).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/socket.h"

namespace tessomar::testsupport {

inline bool ipv6_loopback_available() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// The loopback address of a family (AF_INET or AF_INET6) and port, as the resolver gives it.
inline platform::SocketAddress loopback_address(int family, int port) {
  platform::SocketAddress a;
  if (family == AF_INET6) {
    sockaddr_in6 in{};
    in.sin6_family = AF_INET6;
    in.sin6_addr = in6addr_loopback;
    in.sin6_port = htons(uint16_t(port));
    std::memcpy(&a.storage, &in, sizeof in);
    a.length = sizeof in;
  } else {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(uint16_t(port));
    std::memcpy(&a.storage, &in, sizeof in);
    a.length = sizeof in;
  }
  return a;
}

}  // namespace tessomar::testsupport
