#include "support/process.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace tessomar::testsupport {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, CapturesBothStreamsAndTheExitCode) {
  ChildProcess p;
  std::string error;
  ASSERT_TRUE(
      p.start({"/bin/sh", "-c", "echo one; echo two >&2; echo three; printf tail; exit 3"}, &error))
      << error;
  auto line = p.wait_for_line(Stream::kStdout, "three", 20s);
  ASSERT_TRUE(line) << p.all_output();
  EXPECT_EQ(line->index, 1u);
  auto status = p.wait_exit(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ExitStatus{true, 3, 0}));
  EXPECT_EQ(p.lines(Stream::kStdout), (std::vector<std::string>{"one", "three", "tail"}));
  EXPECT_EQ(p.lines(Stream::kStderr), (std::vector<std::string>{"two"}));
  EXPECT_FALSE(p.running());
}

TEST(ChildProcess, WaitForLineSearchesFromTheGivenLineAndStopsAtEndOfStream) {
  ChildProcess p;
  ASSERT_TRUE(p.start({"/bin/sh", "-c", "echo tick 1; echo tick 2; echo done"}));
  auto first = p.wait_for_line(Stream::kStdout, "tick", 20s);
  ASSERT_TRUE(first);
  auto second = p.wait_for_line(Stream::kStdout, "tick", 20s, first->index + 1);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->text, "tick 2");
  // The stream ends without such a line: the wait returns early instead of at the timeout.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(p.wait_for_line(Stream::kStdout, "never", 20s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
}

TEST(ChildProcess, SignalEndsAWaitingChild) {
  ChildProcess p;
  ASSERT_TRUE(p.start({"/bin/sh", "-c", "echo ready; exec sleep 60"}));
  ASSERT_TRUE(p.wait_for_line(Stream::kStdout, "ready", 20s));
  EXPECT_FALSE(p.wait_exit(50ms));
  EXPECT_TRUE(p.running());
  ASSERT_TRUE(p.send_signal(SIGTERM));
  auto status = p.wait_exit(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ExitStatus{false, -1, SIGTERM}));
}

TEST(ChildProcess, StdinAndEnvironmentReachTheChild) {
  ChildProcess p;
  ASSERT_TRUE(p.start({"/bin/sh", "-c", "read x; echo \"$x $TESSOMAR_TEST_VAR\""}, nullptr,
                      {"TESSOMAR_TEST_VAR=set"}));
  ASSERT_TRUE(p.write_stdin("hello\n"));
  p.close_stdin();
  EXPECT_TRUE(p.wait_for_line(Stream::kStdout, "hello set", 20s)) << p.all_output();
}

TEST(ChildProcess, MissingProgramFailsToStart) {
  ChildProcess p;
  std::string error;
  EXPECT_FALSE(p.start({"/nonexistent/tessomar-program"}, &error));
  EXPECT_NE(error.find("/nonexistent/tessomar-program"), std::string::npos);
  EXPECT_FALSE(p.running());
}

}  // namespace
}  // namespace tessomar::testsupport
