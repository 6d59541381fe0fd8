// The No-IP wizard's form model: its button rules, the local user-name check, the pages the
// client's answers lead to, and OK handing the new account over. Requests go to a loopback
// peer that answers as the service would; time moves through the manual clock.
#include "ddns/noip_wizard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/event_loop.h"
#include "support/log_capture.h"
#include "support/loopback.h"

namespace tessomar::ddns {
namespace {

using testsupport::LoopbackServer;

std::string xml(std::string_view body) { return "<?xml version=\"1.0\"?>" + std::string(body); }

struct Finished {
  std::string user, password, host;
  int calls = 0;
};

class NoipWizardTest : public ::testing::Test {
 protected:
  NoipWizardTest() {
    wizard.hooks().dvr_address = [] { return std::string("192.0.2.7"); };
    wizard.hooks().finish = [this](std::string_view u, std::string_view p, std::string_view h) {
      finished = {std::string(u), std::string(p), std::string(h), finished.calls + 1};
    };
    wizard.hooks().open_page = [this](std::string_view a) { pages.emplace_back(a); };
    wizard.show();
  }
  ~NoipWizardTest() override {
    for (int fd : accepted) LoopbackServer::close_fd(fd);
  }

  static NoipConfig config_for(int port) {
    NoipConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.maker_domain = "m.example";
    return c;
  }

  platform::Component& c(std::string_view name) { return wizard.form()[name]; }
  void type(std::string_view name, std::string_view text) {
    c(name).set_caption(text);
    c(name).fire("OnChange");
  }
  void tick(bool on) {
    c("CheckBox1").set_checked(on);
    c("CheckBox1").fire("OnClick");
  }
  void fill_account(std::string_view user = "camuser") {
    type("Username", user);
    type("email", "a@b.example");
    type("password", "secret1");
    type("cpassword", "secret1");
    type("firstname", "Ann");
    type("lastname", "Lee");
    type("postal_code", "12345");
  }
  // The next connection the client made, within a generous deadline.
  int accept_request(std::string& request) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int fd = -1;
    while (fd < 0 && std::chrono::steady_clock::now() < until) fd = server.try_accept();
    if (fd < 0) return -1;
    accepted.push_back(fd);
    std::vector<uint8_t> bytes;
    while (std::chrono::steady_clock::now() < until) {
      LoopbackServer::read_available(fd, bytes);
      const std::string text(bytes.begin(), bytes.end());
      const size_t head = text.find("\r\n\r\n");
      if (head != std::string::npos) {
        const size_t length_at = text.find("Content-Length: ");
        const size_t body =
            length_at == std::string::npos ? 0 : size_t(std::stoul(text.substr(length_at + 16)));
        if (text.size() >= head + 4 + body) {
          request = text;
          return fd;
        }
      }
    }
    return -1;
  }
  // Answers the pending request and runs the poll timer until the wizard took the reply.
  bool answer(std::string_view reply, const std::function<bool()>& taken) {
    std::string request;
    const int fd = accept_request(request);
    if (fd < 0) return false;
    requests.push_back(request);
    LoopbackServer::write_all(fd, reply.data(), reply.size());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!taken() && std::chrono::steady_clock::now() < until) {
      clock.advance_ms(1000);
      loop.run_once(0);
    }
    return taken();
  }

  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  testsupport::LogCapture logs;
  platform::HeadlessDialogs dialogs{logs.logger()};
  LoopbackServer server;
  NoipClient client{dialogs, logs.logger(), config_for(server.port()),
                    [this] { return clock.unix_now(); }};
  NoipWizard wizard{client, loop, dialogs, logs.logger()};
  Finished finished;
  std::vector<std::string> pages;
  std::vector<std::string> requests;
  std::vector<int> accepted;
};

TEST_F(NoipWizardTest, OpensOnTheAccountPageWithItsButtonsOff) {
  EXPECT_TRUE(wizard.showing());
  EXPECT_EQ(c("TForm_noip_setting").caption(), "No-IP Setting");
  EXPECT_TRUE(c("Panel2").visible());
  EXPECT_FALSE(c("Panel3").visible());
  EXPECT_FALSE(c("Panel4").visible());
  EXPECT_FALSE(c("Create").enabled());
  EXPECT_FALSE(c("CheckUas").enabled());
  EXPECT_EQ(c("Image2").geometry().left, kMarkerAccount);
  EXPECT_TRUE(c("Timer3").enabled());
  EXPECT_EQ(c("Timer3").interval_ms(), 1000);
  const std::pair<const char*, int> limits[] = {
      {"Username", 16}, {"password", 32},    {"cpassword", 32}, {"firstname", 30},
      {"lastname", 30}, {"postal_code", 30}, {"Edit_host", 18}};
  for (const auto& [name, limit] : limits) EXPECT_EQ(c(name).max_length(), limit) << name;
  EXPECT_EQ(c("password").password_char(), '*');
  EXPECT_EQ(c("cpassword").password_char(), '*');
}

TEST_F(NoipWizardTest, CreateNeedsEveryAccountFieldAndTheTerms) {
  fill_account();
  EXPECT_TRUE(c("CheckUas").enabled());
  EXPECT_FALSE(c("Create").enabled()) << "terms not ticked";
  tick(true);
  EXPECT_TRUE(c("Create").enabled());
  tick(false);
  EXPECT_FALSE(c("Create").enabled());
  tick(true);

  // Emptying any one field takes Create away; an empty user name takes Check too.
  for (std::string_view field :
       {"Username", "email", "password", "cpassword", "firstname", "lastname", "postal_code"}) {
    const std::string kept = c(field).caption();
    type(field, "");
    EXPECT_FALSE(c("Create").enabled()) << field;
    EXPECT_EQ(c("CheckUas").enabled(), field != "Username") << field;
    tick(true);
    EXPECT_FALSE(c("Create").enabled()) << field << " (terms ticked again)";
    type(field, kept);
    EXPECT_TRUE(c("Create").enabled()) << field;
  }
}

TEST_F(NoipWizardTest, ShortUserNameIsRefusedBeforeAnyRequest) {
  fill_account("abc");
  c("CheckUas").fire("OnClick");
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0],
            (platform::MessageBoxRecord{
                "invalid username: 4-16 characters, only letters and numbers", "ERROR"}));
  EXPECT_EQ(server.try_accept(), -1) << "nothing may reach the service";

  // Four characters are enough: the check goes out.
  type("Username", "abcd");
  c("CheckUas").fire("OnClick");
  std::string request;
  ASSERT_GE(accept_request(request), 0);
  EXPECT_TRUE(request.starts_with("GET /v2/oem/accounts.xml?mode=exists&user=abcd HTTP/1.1\r\n"))
      << request;
}

TEST_F(NoipWizardTest, MismatchedConfirmationStopsCreate) {
  fill_account();
  tick(true);
  type("cpassword", "other");
  c("Create").fire("OnClick");
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].text, "This password doesn't match the confirmation password.");
  EXPECT_EQ(server.try_accept(), -1);
}

TEST_F(NoipWizardTest, AvailabilityAnswerEnablesCreateWhateverTheTerms) {
  struct Case {
    const char* name;
    const char* reply;
    const char* emptied;  // an account field left empty, or ""
    bool create;
  };
  const Case cases[] = {
      {"available", "<result><ok>1</ok></result>", "", true},
      {"taken", "<result><string>taken</string></result>", "", true},
      {"one field empty", "<result></result>", "postal_code", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    fill_account();
    tick(false);
    if (*k.emptied) type(k.emptied, "");
    ASSERT_FALSE(c("Create").enabled());
    client.set_kind(kKindCheckUser);
    client.handle_reply(xml(k.reply));
    EXPECT_EQ(c("Create").enabled(), k.create);
    EXPECT_TRUE(c("CheckUas").enabled());
  }
}

TEST_F(NoipWizardTest, DomainListOpensTheHostPageAndASecondRunAppendsIt) {
  fill_account();
  client.set_kind(kKindListDomains);
  client.handle_reply(xml("<domains><item>a.example</item><item>z.example</item></domains>"));
  EXPECT_EQ(c("ComboBox1").items(),
            (std::vector<std::string>{"a.example", "m.example", "z.example"}));
  EXPECT_EQ(c("ComboBox1").item_index(), 0);
  EXPECT_EQ(c("Edit_ip").caption(), "192.0.2.7");
  EXPECT_FALSE(c("Panel2").visible());
  EXPECT_TRUE(c("Panel3").visible());
  EXPECT_EQ(c("Image2").geometry().left, kMarkerHost);
  EXPECT_FALSE(c("Button2").enabled()) << "until the host name is typed";
  type("Edit_host", "cam");
  EXPECT_TRUE(c("Button2").enabled());
  type("Edit_ip", "");
  EXPECT_FALSE(c("Button2").enabled());

  // Opened again: the account page, old contents kept, the new list after the old one.
  wizard.show();
  EXPECT_TRUE(c("Panel2").visible());
  EXPECT_FALSE(c("Panel3").visible());
  EXPECT_EQ(c("Image2").geometry().left, kMarkerAccount);
  EXPECT_EQ(c("Username").caption(), "camuser");
  client.set_kind(kKindListDomains);
  client.handle_reply(xml("<domains><item>b.example</item></domains>"));
  EXPECT_EQ(c("ComboBox1").items(),
            (std::vector<std::string>{"a.example", "m.example", "z.example", "b.example"}));
}

TEST_F(NoipWizardTest, WholeRunEndsWithOkHandingOverTheAccount) {
  fill_account();
  tick(true);
  c("Create").fire("OnClick");
  ASSERT_TRUE(answer(xml("<account><id>77</id><key>userkey</key></account>"),
                     [&] { return client.kind() == kKindListDomains; }));
  EXPECT_TRUE(requests.back().starts_with("POST /v2/oem/accounts.xml HTTP/1.1\r\n"));
  ASSERT_TRUE(answer(xml("<domains><item>a.example</item></domains>"),
                     [&] { return c("Panel3").visible(); }));
  EXPECT_TRUE(requests.back().starts_with("GET /v2/oem/dns/domains.xml HTTP/1.1\r\n"));

  type("Edit_host", "cam");
  c("Button2").fire("OnClick");
  EXPECT_FALSE(c("Button2").enabled()) << "while the host is being created";
  ASSERT_TRUE(
      answer(xml("<host><id>9</id></host>"), [&] { return client.kind() == kKindAccountInfo; }));
  EXPECT_TRUE(requests.back().ends_with("host=cam&domain=a.example&ip=192.0.2.7"));
  ASSERT_TRUE(answer(xml("<account><email>a@b.example</email><username>camuser</username>"
                         "<firstname>Ann</firstname><lastname>Lee</lastname>"
                         "<postal_code>12345</postal_code></account>"),
                     [&] { return c("Panel4").visible(); }));
  EXPECT_TRUE(requests.back().starts_with("GET /v2/oem/accounts/77.xml HTTP/1.1\r\n"));
  EXPECT_EQ(c("Image2").geometry().left, kMarkerFinish);
  EXPECT_EQ(c("info_username").caption(), "camuser");
  EXPECT_EQ(c("info_email").caption(), "a@b.example");
  EXPECT_EQ(c("info_postalcode").caption(), "12345");
  EXPECT_EQ(c("info_host").caption(), "cam.a.example");
  EXPECT_EQ(c("info_ip").caption(), "192.0.2.7");
  EXPECT_EQ(finished.calls, 0);

  c("Button3").fire("OnClick");
  EXPECT_EQ(finished.calls, 1);
  EXPECT_EQ(finished.user, "camuser");
  EXPECT_EQ(finished.password, "secret1");
  EXPECT_EQ(finished.host, "cam.a.example");
  EXPECT_FALSE(wizard.showing());
  EXPECT_FALSE(c("Timer3").enabled());
  EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(NoipWizardTest, LinksOpenTheServicePages) {
  c("Label_TOS").fire("OnClick");
  c("Image3").fire("OnClick");
  EXPECT_EQ(pages, (std::vector<std::string>{std::string(kNoipPages.terms_page),
                                             std::string(kNoipPages.home_page)}));
}

TEST_F(NoipWizardTest, ClosingStopsThePollAndShowingStartsItAgain) {
  c("TForm_noip_setting").fire("OnClose");
  EXPECT_FALSE(c("Timer3").enabled());
  wizard.show();
  EXPECT_TRUE(c("Timer3").enabled());
}

}  // namespace
}  // namespace tessomar::ddns
