// The setup pages end to end: tessomar-cli fills and applies each tab against the simulated
// DVR, reads it back with a fresh control, and the values survive a restart of the DVR.
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {
namespace {

std::vector<std::string> setup_args(const Dvr& dvr, std::vector<std::string> rest) {
  std::vector<std::string> args{"setup",    "--dvr",     dvr.address, "--uk",
                                dvr.dvr_uk, "--timeout", "30",        "--show-passwords"};
  args.insert(args.end(), rest.begin(), rest.end());
  return args;
}

std::map<std::string, std::string> parse_lines(const std::string& out) {
  std::map<std::string, std::string> values;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

struct TabCase {
  const char* tab;
  std::vector<std::string> set;  // KEY=VALUE
};

// One change per tab, each value unlike the factory's.
const std::vector<TabCase> kTabs = {
    {"bitrate", {"bitrate=3"}},
    {"pppoe", {"status=ON", "user=NAME", "password=PW"}},
    {"ddns", {"provider=noip", "user=guest1", "password=secret", "host=guest1.ddns.example"}},
    {"mail",
     {"status=ON", "server=smtp.example.net", "port=587", "user=alarm", "password=pw", "secure=1",
      "sender=dvr@example.net", "receiver1=me@example.net", "receiver3=you@example.net",
      "subject=Motion", "location=Shop", "interval=15"}},
    {"upnp", {"status=ON", "port=8081"}},
};

void expect_tabs_hold_the_changes(const Dvr& dvr) {
  for (const TabCase& c : kTabs) {
    SCOPED_TRACE(c.tab);
    std::string out, err;
    ASSERT_EQ(run_cli(setup_args(dvr, {"get", c.tab}), &out, &err), 0) << err;
    const auto values = parse_lines(out);
    for (const std::string& kv : c.set) {
      const size_t eq = kv.find('=');
      auto it = values.find(kv.substr(0, eq));
      ASSERT_NE(it, values.end()) << kv << "\n" << out;
      EXPECT_EQ(it->second, kv.substr(eq + 1)) << kv;
    }
  }
}

TEST(SetupE2e, EachTabRoundTripsAndSurvivesARestart) {
  const std::string dir = ::testing::TempDir() + "setup-e2e-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  {
    Dvr dvr;
    ASSERT_TRUE(dvr.start({"--data-dir", dir, "--upnp", "on"}));
    for (const TabCase& c : kTabs) {
      SCOPED_TRACE(c.tab);
      std::vector<std::string> rest{"set", c.tab};
      rest.insert(rest.end(), c.set.begin(), c.set.end());
      std::string out, err;
      ASSERT_EQ(run_cli(setup_args(dvr, rest), &out, &err), 0) << err;
      EXPECT_EQ(out, "Setup Successful. [Setup Information]\n");
    }
    expect_tabs_hold_the_changes(dvr);
    ASSERT_TRUE(dvr.process->send_signal(SIGTERM));
    auto status = dvr.process->wait_exit(kDeadline);
    ASSERT_TRUE(status && status->exited);
  }
  Dvr again;
  ASSERT_TRUE(again.start({"--data-dir", dir, "--upnp", "on"}));
  expect_tabs_hold_the_changes(again);
  std::filesystem::remove_all(dir);
}

TEST(SetupE2e, SystemTabShowsTheIdentityAndTheAddress) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--number-text", "[N] 6100"}));
  std::string out, err;
  ASSERT_EQ(run_cli(setup_args(dvr, {"get", "system"}), &out, &err), 0) << err;
  const auto values = parse_lines(out);
  EXPECT_EQ(values.at("number"), "[N] 6100");
  EXPECT_EQ(values.at("remote_port"), dvr.port);
  EXPECT_FALSE(values.at("os").empty());
}

TEST(SetupE2e, BadValuesAreRefusedBeforeAnythingIsSent) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--variant", "0"}));
  const std::vector<std::vector<std::string>> bad = {
      {"set", "pppoe", "colour=red"},
      {"set", "mail", "port=8a0"},
      {"set", "mail", "port=99999"},
      {"set", "upnp", "port=8a0"},
      {"set", "pppoe", "user=" + std::string(32, 'u')},
      {"set", "ddns", "host=" + std::string(48, 'h')},
      {"set", "ddns", "provider=maker"},  // the maker's service is not in this variant
      {"set", "mail", "status=default"},
      {"set", "system", "os=x"},
      {"set", "bitrate", "10"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b[1] + " " + b[2]);
    std::string out, err;
    EXPECT_EQ(run_cli(setup_args(dvr, b), &out, &err), 2);
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(out.find("Setup Successful."), std::string::npos);
  }
  // Nothing reached the DVR: its factory values stand.
  std::string out, err;
  ASSERT_EQ(run_cli(setup_args(dvr, {"get", "mail"}), &out, &err), 0) << err;
  EXPECT_EQ(parse_lines(out).at("port"), "25");
  EXPECT_EQ(parse_lines(out).at("status"), "OFF");
}

TEST(SetupE2e, MakerVariantOffersItsServiceAndDefaultMail) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--variant", "1"}));
  std::string out, err;
  ASSERT_EQ(run_cli(setup_args(dvr, {"set", "ddns", "provider=maker", "domain=guest"}), &out, &err),
            0)
      << err;
  ASSERT_EQ(run_cli(setup_args(dvr, {"set", "mail", "status=default", "sender=a@b.c"}), &out, &err),
            0)
      << err;
  ASSERT_EQ(run_cli(setup_args(dvr, {"get", "ddns"}), &out, &err), 0) << err;
  EXPECT_EQ(parse_lines(out).at("provider"), "maker");
  EXPECT_EQ(parse_lines(out).at("host"), "guest");
  ASSERT_EQ(run_cli(setup_args(dvr, {"get", "mail"}), &out, &err), 0) << err;
  EXPECT_EQ(parse_lines(out).at("status"), "Default");
  EXPECT_EQ(run_cli(setup_args(dvr, {"set", "ddns", "provider=noip"}), &out, &err), 2);
}

TEST(SetupE2e, DdnsLinksPrintTheProviderPages) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--variant", "0"}));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;
  } cases[] = {
      {{"link", "account", "provider=dyndns"}, 0, "open https://account.dyn.com/entrance/\n"},
      {{"link", "home", "provider=noip"}, 0, "open https://www.noip.com/\n"},
      {{"link", "account", "provider=noip"}, 1, ""},  // the No-IP wizard's job
      {{"link", "home"}, 1, ""},                      // the DVR's provider: none
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : ""));
    std::string out, err;
    EXPECT_EQ(run_cli(setup_args(dvr, c.args), &out, &err), c.status) << err;
    EXPECT_EQ(out, c.out);
  }
}

TEST(SetupE2e, AUserWithoutSetupRightsSeesNoSetupPage) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--user-level", "8"}));
  std::string out, err;
  EXPECT_EQ(run_cli(setup_args(dvr, {"get", "bitrate"}), &out, &err), 1);
  EXPECT_NE(err.find("no Setup page"), std::string::npos) << err;
  EXPECT_TRUE(out.empty());
}

TEST(SetupE2e, UpnpNeedsADvrThatOffersIt) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--upnp", "off"}));
  std::string out, err;
  EXPECT_EQ(run_cli(setup_args(dvr, {"get", "upnp"}), &out, &err), 1);
  EXPECT_NE(err.find("no UPnP"), std::string::npos) << err;
}

}  // namespace
}  // namespace tessomar::e2e
