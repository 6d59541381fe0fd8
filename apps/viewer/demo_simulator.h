// The demo's simulated DVR: tessomar-dvrsim started as a child on a free loopback port.
// It ends with the viewer: stop() sends SIGTERM and waits, and the child is also told by
// the kernel to stop when the viewer dies without stopping it.
#pragma once

#include <sys/types.h>

#include <string>

namespace tessomar::viewer {

class DemoSimulator {
 public:
  DemoSimulator() = default;
  ~DemoSimulator() { stop(); }
  DemoSimulator(const DemoSimulator&) = delete;
  DemoSimulator& operator=(const DemoSimulator&) = delete;

  // Starts the simulator and reads its "listening on HOST:PORT" and "DVR_UK=..." lines.
  // False with a reason when it could not start or did not announce itself in time.
  bool start(const std::string& executable, int timeout_ms, std::string& error);
  // SIGTERM, then waits up to wait_ms for the exit, then SIGKILL. No-op when not running.
  void stop(int wait_ms = 5000);

  const std::string& host() const { return host_; }
  const std::string& port() const { return port_; }
  const std::string& dvr_uk() const { return dvr_uk_; }
  // The child's stdout, non-blocking; the host drains it (see drain()) so that the child
  // never blocks on a full pipe. -1 when not running.
  int stdout_fd() const { return out_fd_; }
  // Reads whatever the child wrote since; returns it.
  std::string drain();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string host_;
  std::string port_;
  std::string dvr_uk_;
};

// The path of a program that lies beside the running executable.
std::string sibling_executable(const std::string& name);

}  // namespace tessomar::viewer
