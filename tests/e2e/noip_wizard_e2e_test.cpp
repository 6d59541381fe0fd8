// The No-IP account wizard end to end: tessomar-cli opens it from the simulated DVR's DDNS tab,
// talks to tessomar-noipsim, and its OK applies the DDNS tab, which a fresh control reads back.
#include "e2e/noip_support.h"

namespace tessomar::e2e {
namespace {

std::vector<std::string> wizard_args(const NoipSim& service, const Dvr& dvr,
                                     const std::string& user, std::vector<std::string> extra = {}) {
  std::vector<std::string> args{"noip",
                                "--service",
                                service.address,
                                "--timeout",
                                "30",
                                "create-account",
                                "--username",
                                user,
                                "--email",
                                "cam@example.org",
                                "--password",
                                "s3cretpw",
                                "--firstname",
                                "Ada",
                                "--lastname",
                                "Lovelace",
                                "--postal-code",
                                "SW1A 1AA",
                                "--host",
                                "frontdoor",
                                "--domain",
                                "hopto.org",
                                "--apply-to-dvr",
                                dvr.address,
                                "--uk",
                                dvr.dvr_uk};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::map<std::string, std::string> dvr_ddns(const Dvr& dvr) {
  std::string out, err;
  EXPECT_EQ(run_cli({"setup", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--timeout", "30",
                     "--show-passwords", "get", "ddns"},
                    &out, &err),
            0)
      << err;
  return key_values(out);
}

TEST(NoipWizardE2e, FinishedWizardFillsAndAppliesTheDdnsTab) {
  NoipSim service;
  ASSERT_TRUE(service.start());
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--variant", "0"}));

  std::string out, err;
  ASSERT_EQ(run_cli(wizard_args(service, dvr, "camuser7"), &out, &err), 0) << out << err;
  EXPECT_NE(out.find("This Username is available"), std::string::npos) << out;
  const auto shown = key_values(out);
  EXPECT_EQ(shown.at("username"), "camuser7");
  EXPECT_EQ(shown.at("host"), "frontdoor.hopto.org");
  EXPECT_EQ(shown.at("ip"), "127.0.0.1") << "the DVR's own address is offered";

  const auto stored = dvr_ddns(dvr);
  EXPECT_EQ(stored.at("provider"), "noip");
  EXPECT_EQ(stored.at("user"), "camuser7");
  EXPECT_EQ(stored.at("password"), "s3cretpw");
  EXPECT_EQ(stored.at("host"), "frontdoor.hopto.org");
}

TEST(NoipWizardE2e, RefusalsStopTheWizardAndLeaveTheDvrAlone) {
  NoipSim service;
  ASSERT_TRUE(service.start());
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--variant", "0"}));
  const std::string before = dvr_ddns(dvr).at("host");

  struct Case {
    const char* name;
    std::string user;
    std::vector<std::string> extra;
    const char* reported;
  };
  const Case cases[] = {
      {"wrong key",
       "camuser8",
       {"--key", "00000000000000000000000000000000"},
       "Authentication failed: the signature does not match"},
      {"short name", "abc", {}, "invalid username: 4-16 characters"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string out, err;
    EXPECT_EQ(run_cli(wizard_args(service, dvr, k.user, k.extra), &out, &err), 1) << out << err;
    EXPECT_NE(err.find(k.reported), std::string::npos) << err;
  }
  // A taken user name is refused at Check, before an account is made.
  std::string out, err;
  ASSERT_EQ(run_cli(wizard_args(service, dvr, "camuser9"), &out, &err), 0) << out << err;
  EXPECT_EQ(run_cli(wizard_args(service, dvr, "camuser9"), &out, &err), 1);
  EXPECT_NE(err.find("This Username is not available"), std::string::npos) << err;
  EXPECT_EQ(dvr_ddns(dvr).at("host"), "frontdoor.hopto.org");
  EXPECT_NE(before, "frontdoor.hopto.org");
}

}  // namespace
}  // namespace tessomar::e2e
