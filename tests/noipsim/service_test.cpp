#include "noipsim/service.h"

#include <gtest/gtest.h>

#include "ddns/noip_client.h"

namespace tessomar::noipsim {
namespace {

constexpr int64_t kNow = 1796940212;

// The stand-in on a clock the test moves; requests signed by the control's request builder.
struct ServiceFixture : ::testing::Test {
  int64_t now = kNow;
  Service service{ServiceConfig{}, [this] { return now; }};
  ddns::NoipConfig oem;

  std::string send(std::string_view id, std::string_view key, std::string_view method,
                   std::string_view path, std::string_view body, int64_t dated = kNow) {
    return service.reply_to(
        ddns::noip_build_request(oem, id, key, method, path, body, ddns::noip_date_text(dated)));
  }
  std::string oem_get(std::string_view path, int64_t dated = kNow) {
    return send(oem.client_id, oem.client_key, "GET", path, "", dated);
  }
};

TEST_F(ServiceFixture, DatesMoreThanFifteenMinutesOffAreRefused) {
  struct Case {
    int64_t offset;
    bool accepted;
  } cases[] = {{0, true}, {900, true}, {-900, true}, {901, false}, {-901, false}, {86400, false}};
  for (const auto& c : cases) {
    const std::string reply = oem_get("/v2/oem/dns/domains.xml", kNow + c.offset);
    EXPECT_EQ(reply.find("<item>ddns.net</item>") != std::string::npos, c.accepted)
        << c.offset << "\n"
        << reply;
    if (!c.accepted) {
      EXPECT_NE(reply.find("<error><msg>"), std::string::npos);
    }
  }
}

TEST_F(ServiceFixture, SignatureDigestAndCredentialsAreChecked) {
  const std::string create =
      send(oem.client_id, oem.client_key, "POST", "/v2/oem/accounts.xml",
           "username=abcd1&email=a@b.cd&password=secret&firstname=F&lastname=L&postal_code=1");
  ASSERT_NE(create.find("<id>1001</id>"), std::string::npos) << create;
  const size_t k = create.find("<key>") + 5;
  const std::string key = create.substr(k, create.find("</key>") - k);

  // A body changed after signing fails the digest check.
  std::string request =
      ddns::noip_build_request(oem, "1001", key, "POST", "/v2/oem/dns/hosts.xml",
                               "host=cam&domain=ddns.net&ip=10.0.0.1", ddns::noip_date_text(kNow));
  request.replace(request.find("ip=10.0.0.1"), 11, "ip=10.0.0.2");
  EXPECT_NE(service.reply_to(request).find("Content-MD5 does not match"), std::string::npos);

  // The OEM pair cannot add hosts; the account's pair cannot list domains; wrong keys fail.
  const std::string host_body = "host=cam&domain=ddns.net&ip=10.0.0.1";
  EXPECT_NE(send(oem.client_id, oem.client_key, "POST", "/v2/oem/dns/hosts.xml", host_body)
                .find("unknown account id"),
            std::string::npos);
  EXPECT_NE(send("1001", key, "GET", "/v2/oem/dns/domains.xml", "").find("unknown client id"),
            std::string::npos);
  EXPECT_NE(send("1001", key + "x", "GET", "/v2/oem/accounts/1001.xml", "")
                .find("signature does not match"),
            std::string::npos);
  EXPECT_NE(send("1001", key, "GET", "/v2/oem/accounts/1002.xml", "").find("not your account"),
            std::string::npos);
  EXPECT_NE(send("1001", key, "POST", "/v2/oem/dns/hosts.xml", host_body).find("<id>1</id>"),
            std::string::npos);
  EXPECT_NE(send("1001", key, "POST", "/v2/oem/dns/hosts.xml", host_body).find("already exists"),
            std::string::npos);
  EXPECT_EQ(service.accounts().at("abcd1").hosts, std::vector<std::string>{"cam.ddns.net"});
}

TEST(NoipsimParse, IncompleteBadAndWholeRequests) {
  struct Case {
    std::string text;
    ParseStatus status;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n", ParseStatus::kIncomplete},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", ParseStatus::kIncomplete},
      {"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", ParseStatus::kComplete},
      {"GET / HTTP/1.0\r\n\r\n", ParseStatus::kBad},
      {"GET /\r\n\r\n", ParseStatus::kBad},
      {"GET / HTTP/1.1\r\nno colon\r\n\r\n", ParseStatus::kBad},
      {"GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", ParseStatus::kBad},
      {"GET / HTTP/1.1\r\nContent-Length: 999999\r\n\r\n", ParseStatus::kBad},
      {std::string(kMaxRequestSize, 'a'), ParseStatus::kBad},
  };
  for (const auto& c : cases) {
    HttpRequest r;
    std::string why;
    EXPECT_EQ(parse_request(c.text, r, why), c.status) << c.text.substr(0, 60);
  }
}

}  // namespace
}  // namespace tessomar::noipsim
