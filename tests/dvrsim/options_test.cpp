#include "dvrsim/options.h"

#include <gtest/gtest.h>

#include <utility>

namespace tessomar::dvrsim {
namespace {

ParseStatus parse(std::vector<std::string_view> args, Options& o, std::string& error) {
  return parse_options(args, o, error);
}

TEST(DvrsimOptions, DefaultsAndEveryFlag) {
  Options o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), ParseStatus::kRun);
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.user_level, 9);
  EXPECT_EQ(o.poll_idle_ms, 1000u);

  ASSERT_EQ(
      parse({"--listen", "0.0.0.0:0", "--user-level=7", "--password", "00123", "--poll-idle-ms",
             "50", "--fault-close-after", "3", "--fault-split", "--fault-delay-ms=20",
             "--fault-bad-status", "4", "--fault-bad-magic", "5", "--fault-seed", "9"},
            o, error),
      ParseStatus::kRun)
      << error;
  EXPECT_EQ(o.host, "0.0.0.0");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.user_level, 7);
  EXPECT_EQ(o.password, "00123");
  EXPECT_EQ(o.poll_idle_ms, 50u);
  EXPECT_EQ(o.faults.close_after, 3u);
  EXPECT_TRUE(o.faults.split);
  EXPECT_EQ(o.faults.delay_ms, 20u);
  EXPECT_EQ(o.faults.bad_status_nth, 4u);
  EXPECT_EQ(o.faults.bad_magic_nth, 5u);
  EXPECT_EQ(o.faults.seed, 9u);
  EXPECT_EQ(o.faults.reorder_one_in, 0u);
  EXPECT_FALSE(o.faults.rekey);

  ASSERT_EQ(parse({"--fault-reorder", "7", "--fault-drop-records=8", "--fault-oversize", "9",
                   "--fault-bad-checksum", "10", "--fault-stall-after", "11", "--fault-stall-ms",
                   "1200", "--fault-forget-sessions", "3000", "--fault-rekey"},
                  o, error),
            ParseStatus::kRun)
      << error;
  EXPECT_EQ(o.faults.reorder_one_in, 7u);
  EXPECT_EQ(o.faults.drop_one_in, 8u);
  EXPECT_EQ(o.faults.oversize_one_in, 9u);
  EXPECT_EQ(o.faults.bad_checksum_one_in, 10u);
  EXPECT_EQ(o.faults.stall_after, 11u);
  EXPECT_EQ(o.faults.stall_ms, 1200u);
  EXPECT_EQ(o.faults.forget_sessions_ms, 3000u);
  EXPECT_TRUE(o.faults.rekey);

  EXPECT_EQ(parse({"--fault-split", "--help"}, o, error), ParseStatus::kHelp);

  EXPECT_EQ(o.device.archive_fps, 0u);
  EXPECT_EQ(o.device.resolution_change_at, 0u);
  ASSERT_EQ(parse({"--archive-fps", "5", "--resolution-change-at=90"}, o, error), ParseStatus::kRun)
      << error;
  EXPECT_EQ(o.device.archive_fps, 5u);
  EXPECT_EQ(o.device.resolution_change_at, 90u);
}

TEST(DvrsimOptions, BadInputIsRefusedWithAReasonAndLeavesOptionsAlone) {
  const std::vector<std::vector<std::string_view>> cases = {
      {"--bogus"},
      {"--listen"},
      {"--listen", "127.0.0.1"},
      {"--listen", "example.com:80"},
      {"--listen", "127.0.0.1:65536"},
      {"--listen", "127.0.0.1:-1"},
      {"--listen", "::1:80"},  // an IPv6 address needs its brackets
      {"--listen", "[::1:80"},
      {"--listen", "[127.0.0.1]:80"},
      {"--listen", "[]:80"},
      {"--user-level", "6"},
      {"--user-level", "99"},
      {"--password", "12a4"},
      {"--password", ""},
      {"--password", "123456789012345678901"},  // would not fit the authentication text
      {"--poll-idle-ms", "0"},
      {"--poll-idle-ms", "10x"},
      {"--fault-close-after", "0"},
      {"--fault-bad-status", "-2"},
      {"--fault-split=1"},
      {"--fault-rekey=on"},
      {"--fault-reorder", "0"},
      {"--fault-forget-sessions", "5"},
      {"--archive-fps", "0"},
      {"--archive-fps", "31"},
      {"--resolution-change-at", "0"},
      {"positional"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(std::string(args[0]) + (args.size() > 1 ? " " + std::string(args[1]) : ""));
    Options o;
    o.port = 1234;
    std::string error;
    EXPECT_EQ(parse(args, o, error), ParseStatus::kError);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(o.port, 1234);
  }
}

TEST(DvrsimOptions, ListenTakesIpv4LocalhostAndBracketedIpv6) {
  const std::pair<const char*, const char*> cases[] = {
      {"10.1.2.3:80", "10.1.2.3"}, {"localhost:80", "127.0.0.1"},  // which listens on ::1 too
      {"[::1]:80", "::1"},         {"[::]:80", "::"},
      {"[fe80::1]:80", "fe80::1"},
  };
  for (const auto& [text, host] : cases) {
    SCOPED_TRACE(text);
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--listen", text}, o, error), ParseStatus::kRun) << error;
    EXPECT_EQ(o.host, host);
    EXPECT_EQ(o.port, 80);
  }
}

TEST(DvrsimOptions, UsageNamesEveryOption) {
  const std::string text = usage_text("tessomar-dvrsim");
  for (const char* flag :
       {"--listen", "--user-level", "--password", "--poll-idle-ms", "--fault-close-after",
        "--fault-split", "--fault-delay-ms", "--fault-bad-status", "--fault-bad-magic",
        "--fault-seed", "--archive-fps", "--resolution-change-at", "--help"}) {
    EXPECT_NE(text.find(flag), std::string::npos) << flag;
  }
}

}  // namespace
}  // namespace tessomar::dvrsim
