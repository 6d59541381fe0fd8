#include "noipsim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessomar::noipsim {

bool split_host_port(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int p = std::stoi(digits);
  if (p > 65535) return false;
  host = text.substr(0, colon);
  port = p;
  return true;
}

Server::~Server() {
  for (auto& c : connections_) ::close(c.fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool Server::listen(const std::string& host, int port, std::string& error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    error = "not an IPv4 address: " + host;
    return false;
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listen_fd_, 16)) {
    error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t size = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  return true;
}

void Server::accept_all() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    connections_.push_back(Connection{fd, {}, {}, 0});
  }
}

bool Server::on_readable(Connection& c) {
  char buffer[4096];
  const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  c.received.append(buffer, size_t(n));
  HttpRequest request;
  std::string why;
  const ParseStatus status = parse_request(c.received, request, why);
  if (status == ParseStatus::kIncomplete) return true;
  c.reply =
      status == ParseStatus::kComplete ? service_.handle(request) : service_.reply_to(c.received);
  return on_writable(c);
}

bool Server::on_writable(Connection& c) {
  while (c.sent < c.reply.size()) {
    const ssize_t n = ::send(c.fd, c.reply.data() + c.sent, c.reply.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.sent += size_t(n);
  }
  return false;  // replied: close
}

void Server::poll_once(int timeout_ms, int stop_fd) {
  std::vector<pollfd> fds;
  fds.push_back({listen_fd_, POLLIN, 0});
  fds.push_back({stop_fd, POLLIN, 0});
  for (const auto& c : connections_) {
    fds.push_back({c.fd, short(c.reply.empty() ? POLLIN : POLLOUT), 0});
  }
  if (::poll(fds.data(), nfds_t(fds.size()), timeout_ms) <= 0) return;
  if (stop_fd >= 0 && fds[1].revents) stopped_ = true;
  std::vector<Connection> kept;
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection& c = connections_[i];
    const short ev = fds[i + 2].revents;
    bool keep = true;
    if (ev & (POLLIN | POLLHUP | POLLERR)) {
      keep = c.reply.empty() ? on_readable(c) : on_writable(c);
    } else if (ev & POLLOUT) {
      keep = on_writable(c);
    }
    if (keep) {
      kept.push_back(std::move(c));
    } else {
      ::close(c.fd);
    }
  }
  connections_ = std::move(kept);
  if (fds[0].revents & POLLIN) accept_all();
}

void Server::run(int stop_fd) {
  while (!stopped_) poll_once(1000, stop_fd);
}

}  // namespace tessomar::noipsim
