// A loopback TCP peer for tests: listens on 127.0.0.1, accepts connections and reads or
// writes raw bytes with deadlines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessomar::testsupport {

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  // Accepts one pending connection (non-blocking); returns its descriptor or -1.
  int try_accept();
  // Reads whatever is available on fd without waiting; appends to out. False on EOF/error.
  static bool read_available(int fd, std::vector<uint8_t>& out);
  static bool write_all(int fd, const void* data, size_t n);
  static void close_fd(int fd);

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
};

}  // namespace tessomar::testsupport
