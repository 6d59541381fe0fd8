#include "platform/http_fetch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/ipv6.h"

namespace tessomar::platform {
namespace {

struct GoodUrl {
  const char* url;
  const char* host;
  int port;
  const char* path;
};

TEST(ParseHttpUrlTest, AcceptsHostPortAndPath) {
  const GoodUrl cases[] = {
      {"http://192.168.1.10", "192.168.1.10", 80, "/"},
      {"http://192.168.1.10/", "192.168.1.10", 80, "/"},
      {"http://dvr.example:8080/index.htm", "dvr.example", 8080, "/index.htm"},
      {"http://h:65535/a/b?c=d", "h", 65535, "/a/b?c=d"},
      {"http://h:1", "h", 1, "/"},
      {"http://h/p:99", "h", 80, "/p:99"},  // a colon in the path is not a port
      {"http://[::1]:8080/x", "[::1]", 8080, "/x"},
      {"http://[::1]", "[::1]", 80, "/"},  // the address's colons are not a port
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.url);
    UrlParts u;
    u.port = 1234;
    u.path = "/stale";
    std::string error;
    ASSERT_TRUE(parse_http_url(k.url, u, error)) << error;
    EXPECT_EQ(u.host, k.host);
    EXPECT_EQ(u.port, k.port);
    EXPECT_EQ(u.path, k.path);
  }
}

TEST(ParseHttpUrlTest, RefusesOtherAddressesWithAMessage) {
  const char* const cases[] = {
      "",
      "192.168.1.10",
      "https://h/",
      "ftp://h/",
      "HTTP://h/",
      "http://",
      "http:///index.htm",
      "http://:80/",
      "http://h:/",
      "http://h:0/",
      "http://h:65536/",
      "http://h:8o/",
      "http://h:-1/",
      "http://h:99999999999999999999/",
      "http://[::1/",
      "http://[]:80/",
      "http://[::1]x/",
  };
  for (const char* url : cases) {
    SCOPED_TRACE(url);
    UrlParts u;
    std::string error;
    EXPECT_FALSE(parse_http_url(url, u, error));
    EXPECT_FALSE(error.empty());
  }
}

// A loopback listener on an ephemeral port.
class Listener {
 public:
  explicit Listener(int backlog = 4) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(::listen(fd_, backlog), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Serves one connection on a thread: reads the request head, then sends `reply` and closes;
// without a reply it holds the connection until the client gives up.
class OneShotServer {
 public:
  explicit OneShotServer(std::optional<std::string> reply)
      : thread_([this, reply = std::move(reply)] { serve(reply); }) {}
  ~OneShotServer() {
    if (thread_.joinable()) thread_.join();
  }
  std::string url(const std::string& path) const { return listener_.url(path); }
  int port() const { return listener_.port(); }
  // Valid once the client call has returned and the server has finished.
  const std::string& request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  static bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10000) > 0;
  }
  void serve(const std::optional<std::string>& reply) {
    if (!wait_readable(listener_.fd())) return;
    int c = ::accept(listener_.fd(), nullptr, nullptr);
    if (c < 0) return;
    char buf[1024];
    while (wait_readable(c)) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request_.append(buf, size_t(n));
      if (reply && request_.find("\r\n\r\n") != std::string::npos) break;
    }
    if (reply) {
      size_t off = 0;
      while (off < reply->size()) {
        ssize_t n = ::send(c, reply->data() + off, reply->size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += size_t(n);
      }
    }
    ::close(c);
  }

  Listener listener_;
  std::string request_;
  std::thread thread_;
};

struct ReplyCase {
  const char* label;
  std::string reply;
  bool ok;
  std::string body_or_error_part;
};

TEST(HttpGetTest, DeliversTheBodyOfA200AndRefusesOtherReplies) {
  const std::string big(100000, 'z');
  const ReplyCase cases[] = {
      {"200", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>DVR</html>", true,
       "<html>DVR</html>"},
      {"200 with blank lines in the body", "HTTP/1.1 200 OK\r\n\r\na\r\n\r\nb", true, "a\r\n\r\nb"},
      {"200 empty body", "HTTP/1.0 200 OK\r\n\r\n", true, ""},
      {"200 large body", "HTTP/1.0 200 OK\r\n\r\n" + big, true, big},
      {"404", "HTTP/1.0 404 Not Found\r\n\r\nno such page", false, "404"},
      {"500", "HTTP/1.1 500 Internal Server Error\r\n\r\n", false, "500"},
      {"no header end", "HTTP/1.0 200 OK\r\nServer: x", false, "malformed"},
      {"nothing", "", false, "malformed"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    OneShotServer server(k.reply);
    std::string body = "untouched", error;
    const bool ok = http_get(server.url("/cgi/page.htm?a=1"), 5000, body, error);
    EXPECT_EQ(server.request(), "GET /cgi/page.htm?a=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_EQ(ok, k.ok) << error;
    if (k.ok) {
      EXPECT_EQ(body, k.body_or_error_part);
    } else {
      EXPECT_EQ(body, "untouched");
      EXPECT_NE(error.find(k.body_or_error_part), std::string::npos) << error;
    }
  }
}

TEST(HttpGetTest, GivesUpWhenTheReplyDoesNotComeInTime) {
  OneShotServer server(std::nullopt);
  std::string body, error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(http_get(server.url("/"), 200, body, error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(error.find("in time"), std::string::npos) << error;
}

TEST(HttpGetTest, ConnectionAttemptThatIsNeverAnsweredHonoursTheTimeLimit) {
  // A backlog of 0 holds one pending connection; further connection attempts get no answer
  // and stay pending, as with a host that drops them.
  Listener listener(0);
  int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(listener.port()));
  ::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
  pollfd p{filler, POLLOUT, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);

  std::string body, error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(http_get(listener.url("/"), 300, body, error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(error.empty());
  ::close(filler);
}

TEST(HttpGetTest, RefusedConnectionAndBadAddressAreReported) {
  int port = 0;
  {
    Listener closed;
    port = closed.port();
  }
  std::string body, error;
  EXPECT_FALSE(http_get("http://127.0.0.1:" + std::to_string(port) + "/", 5000, body, error));
  EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;

  error.clear();
  EXPECT_FALSE(http_get("https://127.0.0.1/", 5000, body, error));
  EXPECT_NE(error.find("http://"), std::string::npos) << error;
}

TEST(HttpGetTest, TriesEachAddressInTurnAndNamesAHostThatDoesNotResolve) {
  int closed = 0;
  {
    Listener l;
    closed = l.port();
  }
  OneShotServer server("HTTP/1.0 200 OK\r\n\r\npage");
  std::string body, error;
  // "localhost" naming ::1 first while the server listens on 127.0.0.1 only.
  ASSERT_TRUE(http_get("http://localhost:" + std::to_string(server.port()) + "/", 5000, body, error,
                       [&](const std::string& host, int port, std::vector<SocketAddress>& out) {
                         EXPECT_EQ(host, "localhost");
                         out = {testsupport::loopback_address(AF_INET6, closed),
                                testsupport::loopback_address(AF_INET, closed),
                                testsupport::loopback_address(AF_INET, port)};
                         return true;
                       }))
      << error;
  EXPECT_EQ(body, "page");

  EXPECT_FALSE(
      http_get("http://nowhere.invalid:8080/", 60000, body, error,
               [](const std::string&, int, std::vector<SocketAddress>&) { return false; }));
  EXPECT_EQ(error, "cannot resolve nowhere.invalid");
}

}  // namespace
}  // namespace tessomar::platform
