#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "support/ipv6.h"
#include "support/log_capture.h"

namespace tessomar::platform {
namespace {

constexpr uint32_t kDeadlineMs = 10000;

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  return a;
}

// A plain listening socket on 127.0.0.1 and an ephemeral port.
class Listener {
 public:
  explicit Listener(int backlog = 4) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(::listen(fd_, backlog), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }
  // The next pending connection, non-blocking; -1 when none arrives within 5 s.
  int accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

int closed_port() {
  Listener l;
  return l.port();
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i * 7 + i / 251);
  return s;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sock = loop.create_socket(logs.logger());
    sock->set_host("127.0.0.1");
    sock->set_port(listener.port());
    sock->on_connect = [this](ClientSocket&) { events.push_back("connect"); };
    sock->on_disconnect = [this](ClientSocket&) { events.push_back("disconnect"); };
    sock->on_error = [this](ClientSocket& s, int& code) {
      events.push_back("error");
      error_code = code;
      if (error_handler) error_handler(s, code);
    };
    sock->on_read = [this](ClientSocket& s) {
      ++read_events;
      if (read_handler) read_handler(s);
    };
    read_handler = [this](ClientSocket& s) { take_all(s); };
  }
  void TearDown() override {
    sock.reset();
    if (peer >= 0) ::close(peer);
  }

  void take_all(ClientSocket& s) {
    uint8_t buf[65536];
    const int avail = s.receive_length();
    const int got = s.receive_buf(buf, std::min<int>(avail, sizeof buf));
    received.append(reinterpret_cast<const char*>(buf), size_t(got));
  }
  bool run_until(const std::function<bool()>& done) { return loop.run_until(done, kDeadlineMs); }
  // Opens the socket against the listener and takes the peer's end.
  void connect_peer() {
    sock->set_active(true);
    ASSERT_TRUE(run_until([this] { return sock->connected(); }));
    peer = listener.accept();
    ASSERT_GE(peer, 0);
  }
  void peer_send(const std::string& data) {
    ASSERT_EQ(::send(peer, data.data(), data.size(), MSG_NOSIGNAL), ssize_t(data.size()));
  }
  // Reads what has arrived at the peer without blocking.
  void peer_drain() {
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n <= 0) return;
      at_peer.append(buf, size_t(n));
    }
  }
  bool saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }

  SystemClock clock;
  PollEventLoop loop{clock};
  Listener listener;
  testsupport::LogCapture logs;
  std::unique_ptr<ClientSocket> sock;
  int peer = -1;
  std::vector<std::string> events;
  int error_code = 0;
  std::function<void(ClientSocket&, int&)> error_handler;
  std::function<void(ClientSocket&)> read_handler;
  int read_events = 0;
  std::string received;
  std::string at_peer;
};

TEST_F(SocketTest, ConnectsThenReadsWhatThePeerSends) {
  EXPECT_FALSE(sock->active());
  connect_peer();
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
  EXPECT_TRUE(sock->active());
  EXPECT_GE(sock->handle(), 0);

  peer_send("hello DVR");
  ASSERT_TRUE(run_until([this] { return received.size() >= 9; }));
  EXPECT_EQ(received, "hello DVR");

  // More than one read's worth arrives in order.
  const std::string big = pattern(300000);
  received.clear();
  size_t sent = 0;
  ASSERT_TRUE(run_until([&] {
    if (sent < big.size()) {
      ssize_t n = ::send(peer, big.data() + sent, big.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += size_t(n);
    }
    return received.size() >= big.size();
  }));
  EXPECT_TRUE(received == big);
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
}

TEST_F(SocketTest, SendReachesThePeerAndNeedsAConnection) {
  const uint8_t early[] = {1, 2, 3};
  EXPECT_EQ(sock->send_buf(early, 3), -1);
  connect_peer();
  const std::string msg = "ULCM request";
  EXPECT_EQ(sock->send_buf(reinterpret_cast<const uint8_t*>(msg.data()), int(msg.size())),
            int(msg.size()));
  ASSERT_TRUE(run_until([&] {
    peer_drain();
    return at_peer.size() >= msg.size();
  }));
  EXPECT_EQ(at_peer, msg);
}

TEST_F(SocketTest, LargeSendIsCompletedWhenTheSocketBecomesWritable) {
  connect_peer();
  // A small kernel buffer makes sure most of the data waits for writability.
  int small = 4096;
  ASSERT_EQ(::setsockopt(sock->handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  int writes = 0;
  sock->on_write = [&](ClientSocket&) { ++writes; };

  const std::string data = pattern(1 << 20);
  // Queued in two parts: the second one lands behind bytes that are still waiting.
  const int half = int(data.size() / 2);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  EXPECT_EQ(sock->send_buf(bytes, half), half);
  EXPECT_EQ(sock->send_buf(bytes + half, int(data.size()) - half), int(data.size()) - half);
  ASSERT_TRUE(run_until([&] {
    peer_drain();
    return at_peer.size() >= data.size();
  }));
  EXPECT_EQ(at_peer.size(), data.size());
  EXPECT_TRUE(at_peer == data);
  EXPECT_GT(writes, 0);
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
}

TEST_F(SocketTest, PeerCloseReportsDisconnectAfterTheLastData) {
  connect_peer();
  peer_send("bye");
  ::close(peer);
  peer = -1;
  ASSERT_TRUE(run_until([this] { return saw("disconnect"); }));
  EXPECT_EQ(received, "bye");
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_FALSE(sock->active());
  EXPECT_FALSE(sock->connected());
  EXPECT_EQ(sock->handle(), -1);
}

TEST_F(SocketTest, ClosingAnOpenSocketReportsDisconnectOnce) {
  connect_peer();
  sock->set_active(false);
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_FALSE(sock->active());
  sock->set_active(false);  // already closed: nothing more
  loop.run_for(50);
  EXPECT_EQ(events.size(), 2u);
  // The peer sees the close.
  pollfd p{peer, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  char c;
  EXPECT_EQ(::recv(peer, &c, 1, 0), 0);
}

TEST_F(SocketTest, ClosingAConnectingSocketReportsDisconnectAndNeverConnect) {
  // A full backlog leaves further connection attempts pending.
  Listener full(0);
  const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const sockaddr_in a = loopback(full.port());
  ::connect(filler, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  pollfd p{filler, POLLOUT, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);

  sock->set_port(full.port());
  sock->set_active(true);
  loop.run_for(100);
  ASSERT_TRUE(sock->active());
  ASSERT_FALSE(sock->connected());
  sock->set_active(false);
  EXPECT_EQ(events, std::vector<std::string>{"disconnect"});
  loop.run_for(200);
  EXPECT_EQ(events, std::vector<std::string>{"disconnect"});
  ::close(filler);
}

TEST_F(SocketTest, ClosingRightAfterOpeningReportsDisconnect) {
  sock->set_active(true);
  sock->set_active(false);
  EXPECT_EQ(events, std::vector<std::string>{"disconnect"});
  loop.run_for(200);
  EXPECT_EQ(events, std::vector<std::string>{"disconnect"});
}

constexpr int kNobodyListens = -1;

struct FailureCase {
  const char* label;
  int port;
  std::function<void(ClientSocket&, int&)> handler;
  std::vector<std::string> expected;
};

TEST_F(SocketTest, FailedConnectReportsErrorAndEndsClosed) {
  const FailureCase cases[] = {
      // What the control does: suppress the failure and close.
      {"handler clears the code and closes",
       kNobodyListens,
       [](ClientSocket& s, int& code) {
         code = 0;
         s.set_active(false);
       },
       {"error", "disconnect"}},
      {"handler leaves the code", kNobodyListens, nullptr, {"error", "disconnect"}},
      {"port out of range", 70000, nullptr, {"error", "disconnect"}},
      {"port zero", 0, nullptr, {"error", "disconnect"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    events.clear();
    logs.clear();
    error_code = 0;
    error_handler = k.handler;
    sock->set_port(k.port == kNobodyListens ? closed_port() : k.port);
    sock->set_active(true);
    ASSERT_TRUE(run_until([this] { return saw("disconnect"); }));
    EXPECT_EQ(events, k.expected);
    EXPECT_NE(error_code, 0);
    EXPECT_FALSE(sock->active());
    // Only a failure the handler left standing is worth a warning.
    EXPECT_EQ(logs.has(LogLevel::Warning, "socket: " + sock->last_error()), !k.handler);
  }
  // The same socket connects once something listens.
  events.clear();
  error_handler = nullptr;
  sock->set_port(listener.port());
  connect_peer();
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
}

TEST_F(SocketTest, SuppressedConnectFailureIsNotFollowedByAConnect) {
  error_handler = [](ClientSocket&, int& code) { code = 0; };
  sock->set_port(closed_port());
  sock->set_active(true);
  ASSERT_TRUE(run_until([this] { return saw("error"); }));
  loop.run_for(300);
  EXPECT_EQ(events, std::vector<std::string>{"error"});
  EXPECT_FALSE(sock->connected());
  sock->set_active(false);
  EXPECT_EQ(events, (std::vector<std::string>{"error", "disconnect"}));
}

TEST_F(SocketTest, ReadHandlerThatTakesNothingDoesNotSpinAndGetsTheDataLater) {
  bool take = false;
  read_handler = [&](ClientSocket& s) {
    if (take) take_all(s);
  };
  connect_peer();
  peer_send("later");
  ASSERT_TRUE(run_until([this] { return read_events > 0; }));
  const int first = read_events;
  loop.run_for(200);
  EXPECT_LT(read_events - first, 50) << "the loop kept reporting bytes nobody takes";
  EXPECT_EQ(sock->receive_length(), 5);

  take = true;
  ASSERT_TRUE(run_until([this] { return received == "later"; }));
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
}

TEST_F(SocketTest, ReadHandlerMayCloseTheSocket) {
  read_handler = [this](ClientSocket& s) {
    take_all(s);
    s.set_active(false);
  };
  connect_peer();
  peer_send("x");
  ASSERT_TRUE(run_until([this] { return saw("disconnect"); }));
  peer_send("y");
  loop.run_for(100);
  EXPECT_EQ(received, "x");
  EXPECT_EQ(read_events, 1);
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
}

TEST(ResolveStreamTest, NumericAddressesResolveToThemselvesAndJunkDoesNot) {
  struct Case {
    const char* host;
    const char* text;  // nullptr: does not resolve
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1:8080"},
      {"::1", "[::1]:8080"},
      {"[::1]", "[::1]:8080"},
      {"", nullptr},
      {"[]", nullptr},
      {"no-such-host.invalid", nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.host);
    std::vector<SocketAddress> out(3);
    ASSERT_EQ(resolve_stream(k.host, 8080, out), k.text != nullptr);
    if (k.text) {
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(address_text(out[0]), k.text);
    } else {
      EXPECT_TRUE(out.empty());
    }
  }
}

TEST_F(SocketTest, EveryAddressIsTriedInOrderUntilOneConnects) {
  // IPv6 first, as "localhost" resolves on some systems, then a refusing IPv4 address.
  const int closed = closed_port();
  std::vector<std::string> asked;
  sock->set_resolver([&](const std::string& host, int port, std::vector<SocketAddress>& out) {
    asked.push_back(host + " " + std::to_string(port));
    out = {testsupport::loopback_address(AF_INET6, closed),
           testsupport::loopback_address(AF_INET, closed),
           testsupport::loopback_address(AF_INET, listener.port())};
    return true;
  });
  sock->set_host("dvr.example");
  EXPECT_FALSE(sock->set_buffer_sizes(8192, 0));  // nothing open yet
  sock->set_active(true);
  // As the control does right after opening: the later attempts keep the descriptor and
  // its buffer size.
  const int fd = sock->handle();
  ASSERT_TRUE(sock->set_buffer_sizes(8192, 0));
  int size = 0;
  socklen_t len = sizeof size;
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len), 0);

  ASSERT_TRUE(run_until([this] { return !events.empty(); }));
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
  EXPECT_EQ(asked, std::vector<std::string>{"dvr.example " + std::to_string(listener.port())});
  EXPECT_EQ(sock->handle(), fd);
  int now = 0;
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &now, &len), 0);
  EXPECT_EQ(now, size);
  peer = listener.accept();
  ASSERT_GE(peer, 0);
  peer_send("ok");
  ASSERT_TRUE(run_until([this] { return received == "ok"; }));

  // When every address fails, one Error names the host.
  sock->set_active(false);
  events.clear();
  sock->set_resolver([&](const std::string&, int, std::vector<SocketAddress>& out) {
    out = {testsupport::loopback_address(AF_INET6, closed),
           testsupport::loopback_address(AF_INET, closed)};
    return true;
  });
  sock->set_active(true);
  ASSERT_TRUE(run_until([this] { return saw("disconnect"); }));
  EXPECT_EQ(events, (std::vector<std::string>{"error", "disconnect"}));
  EXPECT_EQ(sock->last_error().rfind("cannot connect to dvr.example:", 0), 0u)
      << sock->last_error();
  EXPECT_FALSE(sock->unresolved());
}

TEST_F(SocketTest, UnresolvableHostFailsAtOnceAndSaysSo) {
  int lookups = 0;
  sock->set_resolver([&](const std::string&, int, std::vector<SocketAddress>&) {
    ++lookups;
    return false;
  });
  sock->set_host("nowhere.invalid");
  std::vector<bool> repeated;
  error_handler = [&](ClientSocket& s, int&) {
    EXPECT_EQ(s.last_error(), "cannot resolve nowhere.invalid");
    EXPECT_TRUE(s.unresolved());
    repeated.push_back(s.error_repeated());
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    sock->set_active(true);
    ASSERT_TRUE(run_until([this] { return saw("disconnect"); }));
    events.clear();
  }
  EXPECT_EQ(lookups, 2);
  EXPECT_EQ(repeated, (std::vector<bool>{false, true}));

  // A connect clears the failure; the next one is news again.
  sock->set_resolver({});
  sock->set_host("127.0.0.1");
  connect_peer();
  EXPECT_TRUE(sock->last_error().empty());
  sock->set_active(false);
  sock->set_resolver([](const std::string&, int, std::vector<SocketAddress>&) { return false; });
  sock->set_host("nowhere.invalid");
  sock->set_active(true);
  ASSERT_TRUE(run_until([this] { return saw("error"); }));
  EXPECT_EQ(repeated.back(), false);
}

TEST_F(SocketTest, PeerThatStopsReadingCountsAsALostConnection) {
  connect_peer();
  int small = 4096;
  ASSERT_EQ(::setsockopt(sock->handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  const std::string chunk = pattern(64 * 1024);
  const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
  size_t accepted = 0;
  int result = 0;
  // The kernel buffers hold far less than the bound; the peer never reads.
  for (int i = 0; i < 4096; ++i) {
    result = sock->send_buf(bytes, int(chunk.size()));
    if (result < 0) break;
    accepted += size_t(result);
    loop.run_once(0);
  }
  ASSERT_EQ(result, -1);
  EXPECT_GE(accepted, ClientSocket::kMaxUnsentBytes - chunk.size());
  // Reported as an event, not inside the call.
  EXPECT_EQ(events, std::vector<std::string>{"connect"});
  ASSERT_TRUE(run_until([this] { return saw("disconnect"); }));
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_FALSE(sock->active());
  EXPECT_TRUE(logs.has(LogLevel::Warning, "the peer stopped reading"));
}

TEST_F(SocketTest, DestroyedSocketIgnoresItsPendingFailure) {
  sock->set_port(0);  // the failure is posted, not delivered at once
  sock->set_active(true);
  sock.reset();
  loop.run_for(50);
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace tessomar::platform
