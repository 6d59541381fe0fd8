// tessomar-cli as a user runs it: its own commands, and the control's link against the
// simulated DVR on loopback.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {
namespace {

namespace fs = std::filesystem;

TEST(CliCommands, VersionHelpAndDeviceTime) {
  std::string out, err;
  EXPECT_EQ(run_cli({"--version"}, &out), 0);
  EXPECT_NE(out.find("030202"), std::string::npos);
  EXPECT_EQ(run_cli({"--help"}, &out), 0);
  for (const char* cmd : {"devtime", "run", "info", "setup"})
    EXPECT_NE(out.find(cmd), std::string::npos) << cmd;

  EXPECT_EQ(run_cli({"devtime", "131284800"}, &out), 0);
  EXPECT_EQ(out, "2004/02/29 12:00:00\n");
  EXPECT_EQ(run_cli({"devtime", "--date", "2004/02/29 12:00:00"}, &out), 0);
  EXPECT_EQ(out, "131284800\n");
  for (std::vector<std::string> bad : {std::vector<std::string>{"devtime", "12x"},
                                       {"devtime", "4294967296"},
                                       {"devtime", "--date", "2004/02/30 00:00:00"},
                                       {"devtime"},
                                       {"nosuchcommand"}}) {
    EXPECT_EQ(run_cli(bad, &out, &err), 2) << bad.back();
    EXPECT_FALSE(err.empty());
  }
}

TEST(CliRun, ShowsConnectingWithoutEnoughParameters) {
  std::string out;
  EXPECT_EQ(
      run_cli({"run", "--param", "DVRIP=127.0.0.1", "--param", "HTTP_PORT=1", "--seconds", "0.3"},
              &out),
      0);
  EXPECT_NE(out.find("status: Connecting ..."), std::string::npos);
  EXPECT_EQ(out.find("connecting socket"), std::string::npos);  // two puts: no attempt
}

TEST(CliRun, BadPageParameterIsAnError) {
  std::string out, err;
  EXPECT_EQ(run_cli({"run", "--param", "HTTP_PAGE=x2", "--seconds", "0"}, &out, &err), 2);
  EXPECT_NE(err.find("'x2' is not a valid integer value"), std::string::npos);
  EXPECT_EQ(run_cli({"run", "--page", "/nonexistent/page.html"}, &out, &err), 2);
  EXPECT_NE(err.find("cannot open page"), std::string::npos);
}

TEST(CliRun, OpensASessionFromTheDvrPage) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  auto cli = start_cli({"run", "--page", "http://" + dvr.address + "/", "--seconds", "60"});
  auto line = cli->wait_for_line(Stream::kStdout, "session established key=", kDeadline);
  ASSERT_TRUE(line) << cli->all_output() << dvr.process->all_output();
  EXPECT_TRUE(cli->wait_for_line(Stream::kStdout, "connected socket 0", 1s));
  EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "session opened", kDeadline));
}

TEST(CliRun, SplitRepliesStillOpenTheSession) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--fault-split"}));
  auto args = dvr.params();
  args.insert(args.begin(), "run");
  args.insert(args.end(), {"--seconds", "60"});
  auto cli = start_cli(args);
  ASSERT_TRUE(cli->wait_for_line(Stream::kStdout, "session established", kDeadline))
      << cli->all_output();
  // The session keeps polling over split replies without being dropped.
  EXPECT_FALSE(cli->wait_for_line(Stream::kStdout, "lost", 3s));
}

TEST(CliRun, RestartedDvrOnTheSamePortGivesANewSession) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  auto args = dvr.params();
  args.insert(args.begin(), "run");
  args.insert(args.end(), {"--seconds", "90"});
  auto cli = start_cli(args);
  auto first = cli->wait_for_line(Stream::kStdout, "session established key=", kDeadline);
  ASSERT_TRUE(first) << cli->all_output();

  dvr.process->send_signal(SIGTERM);
  ASSERT_TRUE(dvr.process->wait_exit(kDeadline));
  ASSERT_TRUE(cli->wait_for_line(Stream::kStdout, "socket 0 lost", kDeadline, first->index));
  Dvr again;
  ASSERT_TRUE(again.start({}, dvr.address));
  auto second =
      cli->wait_for_line(Stream::kStdout, "session established key=", kDeadline, first->index + 1);
  ASSERT_TRUE(second) << cli->all_output();
  EXPECT_TRUE(again.process->wait_for_line(Stream::kStderr, "session opened", kDeadline));
  EXPECT_TRUE(cli->wait_for_line(Stream::kStdout, "reconnecting socket 0", 1s, first->index));
}

TEST(CliRun, BadStatusLineClosesAndReconnects) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--fault-bad-status", "3"}));
  auto args = dvr.params();
  args.insert(args.begin(), "run");
  args.insert(args.end(), {"--seconds", "60"});
  auto cli = start_cli(args);
  auto closing = cli->wait_for_line(Stream::kStdout, "HTTP/1.1 200 OK", kDeadline);
  ASSERT_TRUE(closing) << cli->all_output();
  EXPECT_TRUE(cli->wait_for_line(Stream::kStdout, "session established", kDeadline, closing->index))
      << cli->all_output();
  // The new session is whole: the DVR tells its identity again, and no late answer of the
  // old session made the control present empty credentials.
  EXPECT_TRUE(cli->wait_for_line(Stream::kStdout, "identity received", kDeadline, closing->index))
      << cli->all_output();
  for (const std::string& line : cli->lines(Stream::kStdout)) {
    EXPECT_EQ(line.find("refused"), std::string::npos) << cli->all_output();
  }
}

TEST(CliRun, WrongCredentialsAreRefusedAndLogged) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--password", "1234"}));
  // A key for another password, made by a simulator with other credentials.
  Dvr other;
  ASSERT_TRUE(other.start({"--password", "9999"}));
  auto args = dvr.params(other.dvr_uk);
  args.insert(args.begin(), "run");
  args.insert(args.end(), {"--seconds", "60"});
  auto cli = start_cli(args);
  EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "refused", kDeadline))
      << dvr.process->all_output();
}

// Every subcommand, as the consistency tests below drive it: the arguments that make it go as
// far as the DVR (after --dvr HOST:PORT --uk KEY), or none for a command without a DVR.
struct CommandCase {
  const char* name;
  bool takes_dvr;
  std::vector<std::string> dvr_tail;
};

std::vector<CommandCase> command_cases(const std::string& scratch) {
  const std::string from = "2026/01/01 00:00:00";
  return {
      {"devtime", false, {}},
      {"run", true, {"--seconds", "60"}},
      {"info", true, {}},
      {"setup", true, {"get", "system"}},
      {"titles", true, {"get"}},
      {"live", true, {"--seconds", "1"}},
      {"playback", true, {"--channel", "1", "--from", from}},
      {"keyform", true, {"--png", scratch + "/keyform.png"}},
      {"calendar", true, {"--channel", "1", "--month", "2026/01"}},
      {"backup",
       true,
       {"--channel", "1", "--from", from, "--to", "2026/01/01 00:01:00", "--out",
        scratch + "/copy.mov"}},
      {"noip",
       true,
       {"--service", "127.0.0.1:1", "--username", "ada", "--email", "ada@example.com", "--password",
        "s3cretpw", "--firstname", "Ada", "--lastname", "Lovelace", "--postal-code", "1000",
        "--host", "frontdoor", "create-account"}},
  };
}

TEST(CliConsistency, EveryCommandAnswersHelpWithItsOwnUsage) {
  std::string top;
  ASSERT_EQ(run_cli({"--help"}, &top), 0);
  for (const CommandCase& c : command_cases("/tmp")) {
    SCOPED_TRACE(c.name);
    const std::string usage = std::string("usage: tessomar-cli ") + c.name + " ";
    std::string first_line;
    // Help wins wherever it stands, but not as the value of an option.
    for (std::vector<std::string> args :
         {std::vector<std::string>{c.name, "--help"}, {c.name, "-h"}, {"help", c.name}}) {
      std::string out, err;
      EXPECT_EQ(run_cli(args, &out, &err), 0) << err;
      EXPECT_EQ(out.rfind(usage, 0), 0u) << out;
      EXPECT_TRUE(err.empty()) << err;
      first_line = out.substr(0, out.find('\n'));
      EXPECT_EQ(out.find("--dvr HOST:PORT --uk KEY") != std::string::npos, c.takes_dvr) << out;
    }
    // The overall help shows the same synopsis.
    EXPECT_NE(top.find(first_line.substr(std::string("usage: tessomar-cli ").size())),
              std::string::npos)
        << first_line;
  }
  std::string out, err;
  EXPECT_EQ(run_cli({"live", "--view", "3", "--seconds", "1", "--help"}, &out), 0);
  EXPECT_EQ(out.rfind("usage: tessomar-cli live ", 0), 0u);
  EXPECT_EQ(run_cli({"live", "--snapshot", "-h"}, &out, &err), 2);
  EXPECT_NE(err.find("give the DVR"), std::string::npos) << err;
  EXPECT_TRUE(out.empty()) << out;
}

TEST(CliConsistency, WrongOptionsAreNamedAndPointAtTheCommandsHelp) {
  for (const CommandCase& c : command_cases("/tmp")) {
    SCOPED_TRACE(c.name);
    const std::string hint = std::string("(see tessomar-cli ") + c.name + " --help)";
    struct Wrong {
      std::vector<std::string> args;
      std::string says;
    };
    std::vector<Wrong> wrongs = {
        {{c.name, "--no-such-option"}, "unknown option --no-such-option"},
        {{c.name, "--no-such-flag", "--dvr", "127.0.0.1:1"}, "unknown option --no-such-flag"},
        {{c.name, c.takes_dvr ? "--dvr" : "--date"}, "needs a value"},
    };
    if (!c.takes_dvr) wrongs.push_back({{c.name, "--dvr", "127.0.0.1:1"}, "unknown option --dvr"});
    for (const Wrong& w : wrongs) {
      std::string out, err;
      EXPECT_EQ(run_cli(w.args, &out, &err), 2) << w.args[1];
      EXPECT_NE(err.find(w.says), std::string::npos) << err;
      EXPECT_NE(err.find(hint), std::string::npos) << err;
      EXPECT_TRUE(out.empty()) << out;
    }
  }
  // run waits for nothing, so a time-out has no meaning there.
  std::string err;
  EXPECT_EQ(run_cli({"run", "--timeout", "5"}, nullptr, &err), 2);
  EXPECT_NE(err.find("unknown option --timeout"), std::string::npos) << err;
}

// --dvr and --uk mean the same everywhere: each command reaches the DVR given and offers the
// key given, which this DVR refuses.
TEST(CliConsistency, EveryDvrCommandTakesDvrAndUk) {
  Dvr dvr, other;
  ASSERT_TRUE(dvr.start({"--password", "1234"}));
  ASSERT_TRUE(other.start({"--password", "5678"}));
  const fs::path scratch = fs::temp_directory_path() / ("tessomar-cli-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  for (const CommandCase& c : command_cases(scratch.string())) {
    if (!c.takes_dvr) continue;
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{c.name, "--dvr", dvr.address, "--uk", other.dvr_uk};
    args.insert(args.end(), c.dvr_tail.begin(), c.dvr_tail.end());
    if (std::string(c.name) == "run") {
      auto cli = start_cli(args);
      EXPECT_TRUE(cli->wait_for_line(Stream::kStdout, "refused", kDeadline)) << cli->all_output();
      continue;
    }
    args.insert(args.end(), {"--timeout", "30"});
    std::string out, err;
    EXPECT_EQ(run_cli(args, &out, &err), 1) << err;
    EXPECT_NE(err.find("the DVR refused the login"), std::string::npos) << err;
  }
  fs::remove_all(scratch);
}
}  // namespace
}  // namespace tessomar::e2e

namespace tessomar::e2e {
namespace {

std::vector<std::string> dvr_args(const Dvr& dvr, std::vector<std::string> tail,
                                  const std::string& uk = "") {
  std::vector<std::string> a{"--dvr", dvr.address, "--uk", uk.empty() ? dvr.dvr_uk : uk};
  a.insert(a.end(), tail.begin(), tail.end());
  return a;
}

TEST(CliInfo, PrintsTheIdentityForEachChannelCount) {
  for (const char* channels : {"4", "8", "16"}) {
    SCOPED_TRACE(channels);
    Dvr dvr;
    ASSERT_TRUE(dvr.start({"--channels", channels, "--standard", "ntsc", "--generation", "1"}));
    std::string out, err;
    auto args = dvr_args(dvr, {"--timeout", "30"});
    args.insert(args.begin(), "info");
    ASSERT_EQ(run_cli(args, &out, &err), 0) << err;
    EXPECT_NE(out.find(std::string("channels=") + channels + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("video_standard=ntsc\n"), std::string::npos);
    EXPECT_NE(out.find("generation=1\n"), std::string::npos);
    EXPECT_NE(out.find("number=[N] 7104\n"), std::string::npos);
  }
}

TEST(CliInfo, WrongKeyIsRefused) {
  Dvr dvr, other;
  ASSERT_TRUE(dvr.start({"--password", "1234"}));
  ASSERT_TRUE(other.start({"--password", "5678"}));
  std::string out, err;
  auto args = dvr_args(dvr, {"--timeout", "30"}, other.dvr_uk);
  args.insert(args.begin(), "info");
  EXPECT_EQ(run_cli(args, &out, &err), 1);
  EXPECT_NE(err.find("refused"), std::string::npos) << err;
  EXPECT_TRUE(out.empty());
}

TEST(CliSetup, SetIsStoredByTheDvrAndConfirmed) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  std::string out, err;
  auto set = dvr_args(dvr, {"set", "bitrate", "3", "--timeout", "30"});
  set.insert(set.begin(), "setup");
  ASSERT_EQ(run_cli(set, &out, &err), 0) << err;
  EXPECT_EQ(out, "Setup Successful. [Setup Information]\n");

  // A fresh control reads the stored value back.
  auto get = dvr_args(dvr, {"get", "bitrate", "--timeout", "30"});
  get.insert(get.begin(), "setup");
  ASSERT_EQ(run_cli(get, &out, &err), 0) << err;
  EXPECT_EQ(out, "bitrate=3\n");

  auto bad = dvr_args(dvr, {"set", "bitrate", "10"});
  bad.insert(bad.begin(), "setup");
  EXPECT_EQ(run_cli(bad, &out, &err), 2);
}

}  // namespace
}  // namespace tessomar::e2e
