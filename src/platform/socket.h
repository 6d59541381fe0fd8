// An asynchronous TCP client socket whose events arrive on the event loop's thread:
// Connect, Disconnect, Error (with a code the handler may clear), Read and Write.
// Opening starts a non-blocking connect; closing an open or opening socket reports
// Disconnect. Written once on POSIX sockets; the loop backend only reports readiness.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessomar::platform {

class EventLoop;

class ClientSocket {
 public:
  using SocketEvent = std::function<void(ClientSocket&)>;
  using ErrorEvent = std::function<void(ClientSocket&, int& error_code)>;

  explicit ClientSocket(EventLoop& loop);
  ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  void set_host(std::string host) { host_ = std::move(host); }
  const std::string& host() const { return host_; }
  void set_port(int port) { port_ = port; }
  int port() const { return port_; }
  void set_tag(int32_t tag) { tag_ = tag; }
  int32_t tag() const { return tag_; }

  // true: start connecting (no-op when already open); false: close and report Disconnect.
  void set_active(bool active);
  bool active() const { return fd_ >= 0; }
  bool connected() const { return fd_ >= 0 && connected_; }

  // Bytes that can be received now without blocking.
  int receive_length() const;
  // Receives up to n bytes; returns the count taken (0 when none).
  int receive_buf(uint8_t* buffer, int n);
  // Queues bytes for sending; returns n, or -1 when the socket is not connected.
  int send_buf(const uint8_t* data, int n);
  // The raw descriptor (for socket options), -1 when closed.
  int handle() const { return fd_; }

  SocketEvent on_connect;
  SocketEvent on_disconnect;
  ErrorEvent on_error;
  SocketEvent on_read;
  SocketEvent on_write;

 private:
  void open();
  void close_fd();
  void update_watch();
  void on_ready(bool readable, bool writable);
  void fail(int error_code);
  void post_failure(int error_code);
  void flush();

  EventLoop& loop_;
  std::string host_;
  int port_ = 0;
  int32_t tag_ = 0;
  int fd_ = -1;
  bool connected_ = false;
  std::vector<uint8_t> out_;
  size_t out_pos_ = 0;
  // Each socket object outlives its posted calls only if they check this generation.
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_;
  // Set when a read event left every available byte in the socket (the reader had no
  // room): read interest pauses for one timer interval instead of spinning.
  bool read_paused_ = false;
  int resume_timer_ = 0;
};

}  // namespace tessomar::platform
