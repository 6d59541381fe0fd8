// The stand-in's network side: one listening TCP socket, single-threaded poll, one request
// per connection, the reply sent and the connection closed.
#pragma once

#include <string>
#include <vector>

#include "noipsim/service.h"

namespace tessomar::noipsim {

class Server {
 public:
  explicit Server(Service& service) : service_(service) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds HOST:PORT (port 0 picks one); false with the reason.
  bool listen(const std::string& host, int port, std::string& error);
  int port() const { return port_; }
  // Serves until stop_fd becomes readable (or fails).
  void run(int stop_fd);
  // One round: waits at most timeout_ms for activity and handles it.
  void poll_once(int timeout_ms, int stop_fd = -1);
  bool stopped() const { return stopped_; }

 private:
  struct Connection {
    int fd = -1;
    std::string received;
    std::string reply;
    size_t sent = 0;
  };
  void accept_all();
  // False when the connection is done and must be closed.
  bool on_readable(Connection& c);
  bool on_writable(Connection& c);

  Service& service_;
  int listen_fd_ = -1;
  int port_ = 0;
  bool stopped_ = false;
  std::vector<Connection> connections_;
};

// Splits "HOST:PORT" (port 0-65535); false when it is not one.
bool split_host_port(const std::string& text, std::string& host, int& port);

}  // namespace tessomar::noipsim
