// The noip command against tessomar-noipsim on loopback: the whole account conversation, and
// refusals of the stand-in reported to the user.
#include "e2e/noip_support.h"

namespace tessomar::e2e {
namespace {

TEST(NoipE2e, AccountConversation) {
  NoipSim sim;
  ASSERT_TRUE(sim.start());
  std::string out, err;

  ASSERT_EQ(sim.noip({"check", "--username", "camuser1"}, &out, &err), 0) << err;
  EXPECT_EQ(key_values(out)["available"], "yes");

  const std::vector<std::string> account{
      "create-account", "--username",    "camuser1",    "--email", "cam@example.org",
      "--password",     "s3cret!x",      "--firstname", "Ada",     "--lastname",
      "Lovelace",       "--postal-code", "SW1A 1AA"};
  ASSERT_EQ(sim.noip(account, &out, &err), 0) << err;
  auto created = key_values(out);
  const std::string id = created["user_id"], key = created["user_key"];
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(key.size(), 32u);

  ASSERT_EQ(sim.noip({"check", "--username", "camuser1"}, &out, &err), 0) << err;
  EXPECT_EQ(key_values(out)["available"], "no");
  // A second account of the same name is refused with the rewritten message.
  EXPECT_EQ(sim.noip(account, &out, &err), 1);
  EXPECT_NE(err.find("ERROR: invalid username: 4-16 characters, only letters and numbers"),
            std::string::npos)
      << err;

  ASSERT_EQ(sim.noip({"domains"}, &out, &err), 0) << err;
  EXPECT_EQ(key_values(out)["domain"], "ddns.netddns.tessomar.examplehopto.orgzapto.org");

  ASSERT_EQ(sim.noip({"add-host", "--user-id", id, "--user-key", key, "--host", "frontdoor",
                      "--domain", "hopto.org", "--ip", "192.0.2.10"},
                     &out, &err),
            0)
      << err;
  EXPECT_EQ(key_values(out)["host"], "frontdoor.hopto.org");

  ASSERT_EQ(sim.noip({"info", "--user-id", id, "--user-key", key}, &out, &err), 0) << err;
  auto info = key_values(out);
  EXPECT_EQ(info["email"], "cam@example.org");
  EXPECT_EQ(info["username"], "camuser1");
  EXPECT_EQ(info["firstname"], "Ada");
  EXPECT_EQ(info["lastname"], "Lovelace");
  EXPECT_EQ(info["postal_code"], "SW1A 1AA");
}

TEST(NoipE2e, RefusalsAreReported) {
  NoipSim sim;
  ASSERT_TRUE(sim.start({"--client-id", "CLI-TEST", "--key", "0123456789abcdef"}));
  std::string out, err;

  // The control's own OEM pair is not this service's.
  EXPECT_EQ(sim.noip({"domains"}, &out, &err), 1);
  EXPECT_NE(err.find("ERROR: unknown client id"), std::string::npos) << err;
  EXPECT_EQ(
      sim.noip({"--client-id", "CLI-TEST", "--key", "0123456789abcdeF", "domains"}, &out, &err), 1);
  EXPECT_NE(err.find("ERROR: Authentication failed"), std::string::npos) << err;
  // A refused availability question is reported as the refusal, not as an answer.
  EXPECT_EQ(sim.noip({"--client-id", "CLI-TEST", "--key", "0123456789abcdeF", "check", "--username",
                      "owner77"},
                     &out, &err),
            1);
  EXPECT_EQ(key_values(out).count("available"), 0u) << out;
  EXPECT_NE(err.find("ERROR: Authentication failed"), std::string::npos) << err;
  ASSERT_EQ(
      sim.noip({"--client-id", "CLI-TEST", "--key", "0123456789abcdef", "domains"}, &out, &err), 0)
      << err;

  const std::vector<std::string> oem{"--client-id", "CLI-TEST", "--key", "0123456789abcdef"};
  std::vector<std::string> create = oem;
  create.insert(create.end(),
                {"create-account", "--username", "owner77", "--email", "o@x.org", "--password",
                 "pass1234", "--firstname", "O", "--lastname", "W", "--postal-code", "1"});
  ASSERT_EQ(sim.noip(create, &out, &err), 0) << err;
  const std::string id = key_values(out)["user_id"];

  // A wrong account key: the stand-in refuses and the user sees why.
  EXPECT_EQ(sim.noip({"add-host", "--user-id", id, "--user-key", "not-the-key", "--host", "cam",
                      "--domain", "ddns.net", "--ip", "192.0.2.1"},
                     &out, &err),
            1);
  EXPECT_NE(err.find("ERROR: Authentication failed: the signature does not match"),
            std::string::npos)
      << err;
  EXPECT_EQ(sim.noip({"info", "--user-id", id, "--user-key", "not-the-key"}, &out, &err), 1);
  EXPECT_EQ(key_values(out).count("email"), 0u);

  // Bad input never reaches the service.
  EXPECT_EQ(sim.noip({"check", "--username", "a&b"}, &out, &err), 2);
  EXPECT_EQ(sim.noip({"check"}, &out, &err), 2);
  EXPECT_EQ(run_cli({"noip", "--service", "127.0.0.1:99999", "domains"}, &out, &err), 2);
}

TEST(NoipE2e, UnreachableServiceIsReported) {
  std::string out, err;
  // Port 1 on loopback: nothing listens there.
  EXPECT_EQ(run_cli({"noip", "--service", "127.0.0.1:1", "domains"}, &out, &err), 1);
  EXPECT_NE(err.find("ERROR: can not connect to no-ip server"), std::string::npos) << err;
}

}  // namespace
}  // namespace tessomar::e2e
