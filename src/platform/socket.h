// An asynchronous TCP client socket whose events arrive on the event loop's thread:
// Connect, Disconnect, Error (with a code the handler may clear), Read and Write.
// Opening resolves the host (IPv4 and IPv6) and starts a non-blocking connect to each of its
// addresses in turn until one answers; closing an open or opening socket reports Disconnect.
// Written once on POSIX sockets; the loop backend only reports readiness.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessomar::platform {

class EventLoop;
class Logger;

// One address a stream socket can connect to.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// Resolves a host name or numeric address (an IPv6 one may be in brackets, "[::1]") and a
// port to the stream addresses to try, IPv4 and IPv6, in the resolver's order. False when
// the name does not resolve.
bool resolve_stream(const std::string& host, int port, std::vector<SocketAddress>& out);
using Resolver =
    std::function<bool(const std::string& host, int port, std::vector<SocketAddress>& out)>;

// "127.0.0.1:80", "[::1]:80".
std::string address_text(const SocketAddress& a);

class ClientSocket {
 public:
  using SocketEvent = std::function<void(ClientSocket&)>;
  using ErrorEvent = std::function<void(ClientSocket&, int& error_code)>;

  // Unsent bytes beyond this mean the peer has stopped reading: the connection counts as
  // lost. Far above anything the control has in flight (a request frame is under 2 KiB).
  static constexpr size_t kMaxUnsentBytes = 1 << 20;

  // Failures are reported to `logger`, which must outlive the socket.
  ClientSocket(EventLoop& loop, const Logger& logger);
  ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  void set_host(std::string host) { host_ = std::move(host); }
  const std::string& host() const { return host_; }
  void set_port(int port) { port_ = port; }
  int port() const { return port_; }
  void set_tag(int32_t tag) { tag_ = tag; }
  int32_t tag() const { return tag_; }
  // Replaces name resolution (resolve_stream by default); for tests of address order.
  void set_resolver(Resolver resolver) { resolver_ = std::move(resolver); }

  // true: start connecting (no-op when already open); false: close and report Disconnect.
  void set_active(bool active);
  bool active() const { return fd_ >= 0; }
  bool connected() const { return fd_ >= 0 && connected_; }

  // Bytes that can be received now without blocking.
  int receive_length() const;
  // Receives up to n bytes; returns the count taken (0 when none).
  int receive_buf(uint8_t* buffer, int n);
  // Queues bytes for sending; returns n, or -1 when the socket is not connected or the peer
  // has stopped reading (more than kMaxUnsentBytes would wait: the socket then closes and
  // reports Disconnect, as for a remote close).
  int send_buf(const uint8_t* data, int n);
  // Sets the kernel's receive and send buffer sizes of the open descriptor (0 leaves one as
  // it is); false when the socket is closed or the system refuses. The sizes stay when the
  // connect moves on to the next address, not across a close.
  bool set_buffer_sizes(int receive, int send);
  // The raw descriptor, -1 when closed. Moving on to the next address keeps its number and
  // its buffer sizes.
  int handle() const { return fd_; }

  // Why the latest Error happened: "cannot resolve HOST", "cannot connect to HOST:PORT:
  // reason", ...; cleared by a connect.
  const std::string& last_error() const { return last_error_; }
  // The latest Error was the host name not resolving.
  bool unresolved() const { return unresolved_; }
  // The latest Error had the same text as the one before it, with no connect between: a
  // retry that failed the same way.
  bool error_repeated() const { return error_repeated_; }

  SocketEvent on_connect;
  SocketEvent on_disconnect;
  ErrorEvent on_error;
  SocketEvent on_read;
  SocketEvent on_write;

 private:
  struct Failure {
    int code = 0;
    std::string why;
    bool unresolved = false;
  };

  void open();
  // Starts a connect to the next address that does not fail at once; 0 when one is under
  // way, else the error of the last address tried.
  int connect_next();
  void adopt(int fd);
  void close_fd();
  void update_watch();
  void on_ready(bool readable, bool writable);
  void fail(Failure failure);
  void post_failure(Failure failure);
  void post_stall();
  void flush();
  std::string peer_text() const;
  Failure connect_failure(int error_code) const;

  EventLoop& loop_;
  const Logger& logger_;
  std::string host_;
  int port_ = 0;
  int32_t tag_ = 0;
  int fd_ = -1;
  bool connected_ = false;
  Resolver resolver_;
  std::vector<SocketAddress> addresses_;
  size_t next_address_ = 0;
  std::string last_error_;
  bool unresolved_ = false;
  bool error_repeated_ = false;
  std::vector<uint8_t> out_;
  size_t out_pos_ = 0;
  // Set once the unsent bytes overflowed; the close it causes is on its way.
  bool stalled_ = false;
  // Each socket object outlives its posted calls only if they check this generation.
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_;
  // Set when a read event left every available byte in the socket (the reader had no
  // room): read interest pauses for one timer interval instead of spinning.
  bool read_paused_ = false;
  int resume_timer_ = 0;
};

}  // namespace tessomar::platform
