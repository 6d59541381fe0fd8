// The service address reader: what it takes, the port it fills in, and what it refuses.
#include "ddns/noip_service.h"

#include <gtest/gtest.h>

namespace tessomar::ddns {
namespace {

TEST(NoipService, ReadsHostAndPort) {
  struct Case {
    const char* text;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:18080", "127.0.0.1", 18080},
      {"api.example", "api.example", 80},
      {"[::1]:8080", "::1", 8080},
      {"[::1]", "::1", 80},
      {"h:65535", "h", 65535},
  };
  for (const Case& k : cases) {
    NoipConfig config;
    std::string error;
    ASSERT_TRUE(parse_noip_service(k.text, config, error)) << k.text << ": " << error;
    EXPECT_EQ(config.host, k.host) << k.text;
    EXPECT_EQ(config.port, k.port) << k.text;
  }
}

TEST(NoipService, RefusesWhatIsNoAddressAndKeepsTheConfiguration) {
  for (const char* text : {"", ":80", "host:", "host:0", "host:65536", "host:123456", "host:8a",
                           "::1:80", "[::1", "[::1]x", "[]:80", "a b:80", "h/x:80"}) {
    NoipConfig config;
    std::string error;
    EXPECT_FALSE(parse_noip_service(text, config, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(config.host, NoipConfig{}.host) << text;
    EXPECT_EQ(config.port, 80) << text;
  }
}

}  // namespace
}  // namespace tessomar::ddns
