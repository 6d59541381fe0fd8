#include "ddns/noip_client.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace tessomar::ddns {
namespace {

using testsupport::LoopbackServer;

constexpr int64_t kNow = 1796940212;  // Thu, 10 Dec 2026 22:03:32 UTC
constexpr const char* kNowText = "Thu, 10 Dec 2026 22:03:32 +0000";
constexpr const char* kDecl = "<?xml version=\"1.0\"?>";

// Reference digests computed here with OpenSSL's one-shot calls.
std::string b64(const unsigned char* p, size_t n) {
  std::vector<unsigned char> out(4 * ((n + 2) / 3) + 1);
  const int len = EVP_EncodeBlock(out.data(), p, int(n));
  return std::string(reinterpret_cast<char*>(out.data()), size_t(len));
}
std::string ref_md5(const std::string& s) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
  return b64(d, n);
}
std::string ref_hmac(const std::string& key, const std::string& text) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha1(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), d, &n);
  return b64(d, n);
}

TEST(NoipRequest, DateTextIsEnglishUtc) {
  EXPECT_EQ(noip_date_text(kNow), kNowText);
  EXPECT_EQ(noip_date_text(0), "Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(noip_date_text(951868799), "Tue, 29 Feb 2000 23:59:59 +0000");
}

TEST(NoipRequest, GetSignsMethodTwoEmptyLinesDateAndPath) {
  EXPECT_EQ(noip_text_to_sign("GET", "", kNowText, "/v2/oem/dns/domains.xml"),
            std::string("GET\n\n\n") + kNowText + "\n/v2/oem/dns/domains.xml");
  NoipConfig config;
  const std::string path = "/v2/oem/accounts.xml?mode=exists&user=abcd";
  const std::string request =
      noip_build_request(config, config.client_id, config.client_key, "GET", path, "", kNowText);
  const std::string expected =
      "GET " + path +
      " HTTP/1.1\r\n"
      "User-Agent: No-IP Rest Client/1.0 (PHP)\r\n"
      "Host: api.noip.com\r\n"
      "Accept: */*\r\n"
      "Date: " +
      kNowText +
      "\r\n"
      "Authorization: NOIP CLI-731542:" +
      ref_hmac(config.client_key, std::string("GET\n\n\n") + kNowText + "\n" + path) + "\r\n\r\n";
  EXPECT_EQ(request, expected);
}

TEST(NoipRequest, PostSendsAndSignsTheBodyDigest) {
  NoipConfig config;
  config.host = "127.0.0.1";
  const std::string body = "host=cam1&domain=ddns.net&ip=10.0.0.7";
  const std::string md5 = ref_md5(body);
  ASSERT_EQ(md5.size(), 24u);
  EXPECT_EQ(noip_content_md5(body), md5);
  EXPECT_EQ(noip_content_md5(""), "1B2M2Y8AsgTpgAmY7PhCfg==");

  const std::string path = "/v2/oem/dns/hosts.xml";
  const std::string signed_text = std::string("POST\napplication/x-www-form-urlencoded\n") + md5 +
                                  "\n" + kNowText + "\n" + path;
  const std::string signature = ref_hmac("userkey0123", signed_text);
  ASSERT_EQ(signature.size(), 28u);
  EXPECT_EQ(noip_signature("userkey0123", signed_text), signature);

  const std::string request =
      noip_build_request(config, "1001", "userkey0123", "POST", path, body, kNowText);
  const std::string expected = "POST " + path +
                               " HTTP/1.1\r\n"
                               "User-Agent: No-IP Rest Client/1.0 (PHP)\r\n"
                               "Host: 127.0.0.1\r\n"
                               "Accept: */*\r\n"
                               "Date: " +
                               kNowText + "\r\nContent-MD5: " + md5 +
                               "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                               "Authorization: NOIP 1001:" +
                               signature + "\r\n\r\n" + body;
  EXPECT_EQ(request, expected);
}

TEST(NoipReplyReader, ReadsElementsAfterTheDeclarationOnly) {
  std::string v;
  NoipReplyReader none("<account><id>7</id></account>");
  EXPECT_FALSE(none.next("id", v));

  // Elements before the declaration are not seen; the position moves past each value.
  // The reader views the reply; the text must outlive it.
  const std::string reply =
      std::string("<id>0</id>") + kDecl + "<a><id>1</id><key>k</key><id>2</id></a>";
  NoipReplyReader r(reply);
  ASSERT_TRUE(r.next("id", v));
  EXPECT_EQ(v, "1");
  ASSERT_TRUE(r.next("key", v));
  EXPECT_EQ(v, "k");
  EXPECT_FALSE(r.next("key", v));  // position stays
  ASSERT_TRUE(r.next("id", v));
  EXPECT_EQ(v, "2");

  // Long values are cut; unclosed ones are absent.
  const std::string long_reply =
      std::string(kDecl) + "<msg>" + std::string(400, 'x') + "</msg><id>5";
  NoipReplyReader longer(long_reply);
  ASSERT_TRUE(longer.next("msg", v));
  EXPECT_EQ(v, std::string(kNoipValueMax, 'x'));
  EXPECT_FALSE(longer.next("id", v));
}

TEST(NoipRefusedValue, RefusesWhatWouldBreakTheRequest) {
  struct Case {
    const char* value;
    bool refused;
  } cases[] = {{"plain-Value_1.@x", false},
               {"", false},
               {"a&b", true},
               {"a=b", true},
               {"a\rb", true},
               {"a\nb", true}};
  for (const auto& c : cases) {
    const std::string why = noip_refused_value("password", c.value);
    EXPECT_EQ(!why.empty(), c.refused) << c.value;
    if (c.refused) {
      EXPECT_NE(why.find("password"), std::string::npos);
    }
  }
}

// A client whose replies the tests hand over directly.
struct ClientFixture : ::testing::Test {
  platform::Logger logger;
  platform::HeadlessDialogs dialogs{logger};
  NoipClient client{dialogs, logger, NoipConfig{}, [] { return kNow; }};
  std::vector<bool> account_buttons;
  int answered = 0, listed = 0, host_next = 0, complete = 0;
  std::vector<std::string> values;

  void SetUp() override {
    auto& h = client.hooks();
    h.account_buttons = [this](bool on) { account_buttons.push_back(on); };
    h.availability_answered = [this] { ++answered; };
    h.domains_listed = [this] { ++listed; };
    h.host_next_enabled = [this] { ++host_next; };
    h.account_value = [this](std::string_view n, std::string_view v) {
      values.push_back(std::string(n) + "=" + std::string(v));
    };
    h.account_info_complete = [this] { ++complete; };
  }
  void reply(int32_t kind, const std::string& xml) {
    client.set_kind(kind);
    client.handle_reply("HTTP/1.1 200 OK\r\n\r\n" + std::string(kDecl) + "\n" + xml);
  }
};

TEST_F(ClientFixture, CreateAccountErrorsRewritePasswordAndUsernameMessages) {
  reply(kKindCreateAccount,
        "<error><msg>password too short</msg><msg>username taken</msg><msg>Email bad</msg>"
        "</error>");
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0],
            (platform::MessageBoxRecord{
                "invalid password: 6-32 characters, invalid characters: +?%&\n"
                "invalid username: 4-16 characters, only letters and numbers\nEmail bad",
                "ERROR"}));
  EXPECT_EQ(account_buttons, std::vector<bool>{true});
  EXPECT_EQ(client.kind(), kKindCreateAccount);
}

TEST_F(ClientFixture, KindsMoveOnWithTheirAnswers) {
  reply(kKindCreateAccount, "<account><id>1001</id><key>abc</key></account>");
  EXPECT_EQ(client.kind(), kKindAccountCreated);
  EXPECT_EQ(client.user_id(), "1001");
  EXPECT_EQ(client.user_key(), "abc");

  reply(kKindCreateHost, "<host><id>4</id></host>");
  EXPECT_EQ(client.kind(), kKindHostCreated);

  reply(kKindCreateHost, "<error><msg>The host exists.</msg></error>");
  EXPECT_EQ(client.kind(), kKindCreateHost);
  EXPECT_EQ(host_next, 1);
  EXPECT_EQ(dialogs.messages().back(), (platform::MessageBoxRecord{"The host exists.", "ERROR"}));

  reply(kKindCheckUser, "<account><string>abcd</string></account>");
  reply(kKindCheckUser, "<account></account>");
  EXPECT_EQ(client.kind(), kKindCheckUser);
  EXPECT_EQ(answered, 2);
  const auto& m = dialogs.messages();
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m[m.size() - 2],
            (platform::MessageBoxRecord{"This Username is not available", "ERROR"}));
  EXPECT_EQ(m.back(), (platform::MessageBoxRecord{"This Username is available", "PASS"}));
  EXPECT_TRUE(account_buttons.empty());  // the wizard decides after an availability answer

  // A refused question is no availability answer.
  reply(kKindCheckUser, "<error><msg>Authentication failed</msg></error>");
  EXPECT_EQ(dialogs.messages().back(),
            (platform::MessageBoxRecord{"Authentication failed", "ERROR"}));
}

TEST_F(ClientFixture, AccountInfoCompletesOnlyWithThePostalCode) {
  reply(kKindAccountInfo,
        "<account><email>a@b.c</email><username>abcd</username><firstname>F</firstname>"
        "<lastname>L</lastname></account>");
  EXPECT_EQ(complete, 0);
  EXPECT_EQ(values, (std::vector<std::string>{"email=a@b.c", "username=abcd", "firstname=F",
                                              "lastname=L"}));
  values.clear();
  reply(kKindAccountInfo,
        "<account><username>abcd</username><postal_code>1234</postal_code>"
        "</account>");
  EXPECT_EQ(values, (std::vector<std::string>{"username=abcd", "postal_code=1234"}));
  EXPECT_EQ(complete, 1);
}

TEST_F(ClientFixture, DomainListTakesTheMakersDomainByByteOrder) {
  // The maker's domain is "ddns.tessomar.example".
  struct Case {
    std::vector<std::string> items;
    std::vector<std::string> expected;
  } cases[] = {
      {{"ddns.net", "hopto.org"}, {"ddns.net", "ddns.tessomar.example", "hopto.org"}},
      {{"ddns.net", "a.org"}, {"ddns.net", "a.org"}},  // none sorts after it
      {{"zapto.org"}, {"ddns.tessomar.example", "zapto.org"}},
      {{"ddns.tessomar.example"}, {"ddns.tessomar.example"}},  // equal is not after
      {{"hopto.org", "zapto.org"}, {"ddns.tessomar.example", "hopto.org", "zapto.org"}},
  };
  for (const auto& c : cases) {
    std::string xml = "<domains>";
    for (const auto& i : c.items) xml += "<item>" + i + "</item>";
    reply(kKindListDomains, xml + "</domains>");
    EXPECT_EQ(client.domains(), c.expected) << c.items.front();
  }
  EXPECT_EQ(listed, 5);
  EXPECT_TRUE(dialogs.messages().empty());

  // At most 30 items are read; names are cut to 32 characters.
  std::string many = "<domains><item>" + std::string(50, 'b') + "</item>";
  for (int i = 0; i < 40; ++i) many += "<item>a" + std::to_string(100 + i) + "</item>";
  reply(kKindListDomains, many + "</domains>");
  ASSERT_EQ(client.domains().size(), 30u);
  EXPECT_EQ(client.domains()[0], std::string(32, 'b'));
  EXPECT_EQ(client.domains()[29], "a128");

  reply(kKindListDomains, "<error><msg>Not allowed</msg></error>");
  EXPECT_TRUE(client.domains().empty());
  EXPECT_EQ(dialogs.messages().back(), (platform::MessageBoxRecord{"Not allowed", "ERROR"}));
}

TEST_F(ClientFixture, ReplyWithoutDeclarationHoldsNoElements) {
  client.set_kind(kKindCreateAccount);
  client.handle_reply("HTTP/1.1 200 OK\r\n\r\n<account><id>1001</id><key>k</key></account>");
  EXPECT_EQ(client.kind(), kKindCreateAccount);
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].caption, "ERROR");
}

// Over loopback: the request as it leaves, refusals before connecting, the first packet only.
struct WireFixture : ClientFixture {
  LoopbackServer server;
  NoipClient wired{dialogs, logger, config(), [] { return kNow; }};

  NoipConfig config() {
    NoipConfig c;
    c.host = "127.0.0.1";
    c.port = server.port();
    return c;
  }
  int accept_within(std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const int fd = server.try_accept();
      if (fd >= 0 || std::chrono::steady_clock::now() > end) return fd;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string read_request(int fd) {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::string(got.begin(), got.end()).find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
      LoopbackServer::read_available(fd, got);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::string(got.begin(), got.end());
  }
  bool poll_within(std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (wired.poll_reply()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
};

TEST_F(WireFixture, OnlyTheFirstPacketOfAReplyIsRead) {
  wired.set_kind(kKindListDomains);
  ASSERT_EQ(wired.start_request(1), 1);
  const int fd = accept_within(std::chrono::seconds(20));
  ASSERT_GE(fd, 0);
  const std::string request = read_request(fd);
  EXPECT_EQ(request.rfind("GET /v2/oem/dns/domains.xml HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Authorization: NOIP CLI-731542:"), std::string::npos);

  EXPECT_EQ(wired.poll_reply(), 0);  // nothing there yet, and no waiting
  const std::string first =
      std::string("HTTP/1.1 200 OK\r\n\r\n") + kDecl + "<domains><item>ddns.net</item>";
  ASSERT_TRUE(LoopbackServer::write_all(fd, first.data(), first.size()));
  ASSERT_TRUE(poll_within(std::chrono::seconds(20)));
  const std::string rest = "<item>zapto.org</item></domains>";
  LoopbackServer::write_all(fd, rest.data(), rest.size());
  EXPECT_EQ(wired.domains(), std::vector<std::string>{"ddns.net"});
  EXPECT_EQ(wired.poll_reply(), 0);  // the socket was closed after the first read
  LoopbackServer::close_fd(fd);
}

TEST_F(WireFixture, RefusedValuesAreNeverSent) {
  wired.set_kind(kKindCreateHost);
  wired.fields() = NoipFields{};
  wired.fields().host = "cam";
  wired.fields().domain = "ddns.net";
  wired.fields().ip = "10.0.0.1\r\nX-Evil: 1";
  EXPECT_EQ(wired.start_request(0), 0);
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_NE(dialogs.messages()[0].text.find("IP address"), std::string::npos);
  EXPECT_EQ(server.try_accept(), -1);  // no connection was made
  EXPECT_TRUE(wired.full_host().empty());
}

TEST(NoipConnect, FailureIsShownAndTheKindKept) {
  int port = 0;
  {
    LoopbackServer gone;  // a port nobody listens on once it closes
    port = gone.port();
  }
  platform::Logger logger;
  platform::HeadlessDialogs dialogs(logger);
  NoipConfig config;
  config.host = "127.0.0.1";
  config.port = port;
  NoipClient client(dialogs, logger, config, [] { return kNow; });
  client.set_kind(kKindListDomains);
  EXPECT_EQ(client.start_request(0), 0);
  EXPECT_EQ(
      dialogs.messages(),
      (std::vector<platform::MessageBoxRecord>{{"can not connect to no-ip server", "ERROR"}}));
  EXPECT_EQ(client.kind(), kKindListDomains);
  EXPECT_EQ(client.poll_reply(), 0);
}

}  // namespace
}  // namespace tessomar::ddns
