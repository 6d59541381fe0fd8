// DVR addresses as users give them: IPv4, IPv6 in brackets, localhost, and host names that
// do not resolve.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/e2e_support.h"
#include "support/ipv6.h"

namespace tessomar::e2e {
namespace {

constexpr const char* kNoSuchHost = "no-such-host.invalid";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Addresses, LoopbackSimulatorIsReachedByEveryNameForIt) {
  if (!testsupport::ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback";
  Dvr dvr;
  ASSERT_TRUE(dvr.start());  // 127.0.0.1, which takes [::1] too
  for (const char* host : {"127.0.0.1", "[::1]", "localhost"}) {
    SCOPED_TRACE(host);
    std::string out, err;
    EXPECT_EQ(run_cli({"info", "--dvr", std::string(host) + ":" + dvr.port, "--uk", dvr.dvr_uk},
                      &out, &err),
              0)
        << err << dvr.process->all_output();
    EXPECT_NE(out.find("channels=16"), std::string::npos) << out;
  }
}

TEST(Addresses, Ipv6SimulatorServesItsPageAndTheSessionOverIpv6) {
  if (!testsupport::ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback";
  Dvr dvr;
  ASSERT_TRUE(dvr.start({}, "[::1]:0"));
  EXPECT_EQ(dvr.address, "[::1]:" + dvr.port);
  // The page names the address it was fetched from; the control connects there.
  std::string out, err;
  EXPECT_EQ(run_cli({"info", "--page", "http://" + dvr.address + "/"}, &out, &err), 0)
      << err << dvr.process->all_output();
  EXPECT_NE(out.find("channels=16"), std::string::npos) << out;
  EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "by [::1]:", kDeadline))
      << dvr.process->all_output();
}

TEST(Addresses, HostThatDoesNotResolveFailsAtOnceWithItsName) {
  const std::string why = std::string("cannot resolve ") + kNoSuchHost;
  std::string out, err;
  // A long time-out: waiting for it would end with "no identity" instead.
  EXPECT_EQ(run_cli({"info", "--dvr", std::string(kNoSuchHost) + ":8080", "--uk", "1.2.3",
                     "--timeout", "600"},
                    &out, &err),
            1);
  EXPECT_NE(err.find(why), std::string::npos) << err;
  EXPECT_NE(
      run_cli({"info", "--page", "http://" + std::string(kNoSuchHost) + ":8080/"}, &out, &err), 0);
  EXPECT_NE(err.find(why), std::string::npos) << err;

  // The control keeps retrying; its event says so once, not on every retry.
  EXPECT_EQ(run_cli({"run", "--param", std::string("DVRIP=") + kNoSuchHost, "--param",
                     "HTTP_PORT=8080", "--param", "DVR_UK=1.2.3", "--seconds", "1"},
                    &out),
            0);
  EXPECT_EQ(count(out, why), 1u) << out;
}

}  // namespace
}  // namespace tessomar::e2e
