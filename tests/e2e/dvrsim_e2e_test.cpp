// The shipped simulator binary: start-up lines, a session over real loopback connections,
// the embedding page, option errors and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e/sim_client.h"
#include "link/wire.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using tessomar::testsupport::ChildProcess;
using tessomar::testsupport::ExitStatus;
using tessomar::testsupport::Stream;
namespace link = tessomar::link;
using tessomar::e2e::request;
using tessomar::e2e::SimClient;

const std::string kBinary = std::string(TESSOMAR_BIN_DIR) + "/tessomar-dvrsim";

class DvrsimBinary : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {kBinary, "--listen", "127.0.0.1:0", "--poll-idle-ms", "200"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string error;
    ASSERT_TRUE(sim_.start(argv, &error)) << error;
    auto line = sim_.wait_for_line(Stream::kStdout, "listening on 127.0.0.1:", 20s);
    ASSERT_TRUE(line) << sim_.all_output();
    port_ = uint16_t(std::stoi(line->text.substr(line->text.rfind(':') + 1)));
    ASSERT_NE(port_, 0);
    auto uk = sim_.wait_for_line(Stream::kStdout, "DVR_UK=", 20s);
    ASSERT_TRUE(uk) << sim_.all_output();
    dvr_uk_ = uk->text.substr(uk->text.find('=') + 1);
  }

  void stop_cleanly() {
    ASSERT_TRUE(sim_.send_signal(SIGTERM));
    auto status = sim_.wait_exit(20s);
    ASSERT_TRUE(status) << sim_.all_output();
    EXPECT_EQ(*status, (ExitStatus{true, 0, 0})) << sim_.all_output();
  }

  ChildProcess sim_;
  uint16_t port_ = 0;
  std::string dvr_uk_;
};

TEST_F(DvrsimBinary, ServesASessionWithThePrintedKeyTextAndStopsOnSigterm) {
  start({"--user-level", "7", "--password", "2468"});
  // A control derives its credentials from DVR_UK exactly like this.
  std::string level, password;
  ASSERT_TRUE(link::split_dvr_uk(dvr_uk_, level, password)) << dvr_uk_;
  EXPECT_EQ(level, "7");
  EXPECT_EQ(password, "2468");

  SimClient c(port_);
  ASSERT_TRUE(c.ok());
  auto open = request(link::kFrameSessionOpen, 0, level, password);
  ASSERT_TRUE(c.send_all(open.data(), open.size()));
  std::string head;
  std::vector<uint8_t> body;
  ASSERT_TRUE(c.read_reply(head, body)) << sim_.all_output();
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  link::UlcmHeader h;
  ASSERT_TRUE(link::read_ulcm_header(body, h));
  EXPECT_EQ(h.magic, link::kUlcmMagic);
  EXPECT_EQ(h.type, link::kFrameSessionKey);
  const uint32_t key = h.value;
  ASSERT_NE(key, 0u);
  EXPECT_TRUE(sim_.wait_for_line(Stream::kStderr, "session opened key=" + std::to_string(key), 20s))
      << sim_.all_output();

  // Nothing queued: the poll comes back empty after the idle time.
  auto poll = request(link::kFrameDataPoll, key, level, password);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.send_all(poll.data(), poll.size()));
  ASSERT_TRUE(c.read_reply(head, body));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms);
  ASSERT_TRUE(link::read_ulcm_header(body, h));
  EXPECT_EQ(h.type, link::kFrameData);
  EXPECT_EQ(h.value, key);
  EXPECT_EQ(body.size(), link::kUlcmHeaderSize);

  // Wrong credentials on the session: a data reply with one bare VASK refusal (64 bytes,
  // sub-type 2) and a line on stderr.
  auto bad = request(link::kFrameDataPoll, key, level, "2469");
  ASSERT_TRUE(c.send_all(bad.data(), bad.size()));
  ASSERT_TRUE(c.read_reply(head, body));
  ASSERT_TRUE(link::read_ulcm_header(body, h));
  EXPECT_EQ(h.type, link::kFrameData);
  ASSERT_EQ(body.size(), link::kUlcmHeaderSize + 64u);
  EXPECT_EQ(body[64 + 36], 2);
  EXPECT_TRUE(sim_.wait_for_line(Stream::kStderr, "refused: bad credentials", 20s));

  stop_cleanly();
  // stdout carries only the two start lines and, at the stop, the counters.
  const auto& lines = sim_.lines(Stream::kStdout);
  ASSERT_EQ(lines.size(), 3u) << sim_.all_output();
  EXPECT_TRUE(lines[2].starts_with("counters: video_records_sent=0 replies_sent=")) << lines[2];
}

TEST_F(DvrsimBinary, PageNamesTheAddressAndClosesTheConnection) {
  start();
  SimClient c(port_);
  ASSERT_TRUE(c.ok());
  const std::string get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_TRUE(c.send_all(get.data(), get.size()));
  std::string head;
  std::vector<uint8_t> body;
  ASSERT_TRUE(c.read_reply(head, body));
  EXPECT_NE(head.find("Content-Type: text/html"), std::string::npos);
  const std::string page(body.begin(), body.end());
  EXPECT_NE(page.find("<param name=\"HTTP_PORT\" value=\"" + std::to_string(port_) + "\">"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("<param name=\"DVRIP\" value=\"127.0.0.1\">"), std::string::npos);
  EXPECT_TRUE(c.closed_by_peer());
  stop_cleanly();
}

TEST_F(DvrsimBinary, CloseAfterFaultDropsTheConnection) {
  start({"--fault-close-after", "1"});
  std::string level, password;
  ASSERT_TRUE(link::split_dvr_uk(dvr_uk_, level, password));
  SimClient c(port_);
  auto open = request(link::kFrameSessionOpen, 0, level, password);
  ASSERT_TRUE(c.send_all(open.data(), open.size()));
  std::string head;
  std::vector<uint8_t> body;
  ASSERT_TRUE(c.read_reply(head, body));
  EXPECT_TRUE(c.closed_by_peer());
  stop_cleanly();
}

TEST(DvrsimBinaryOptions, HelpAndBadOptions) {
  {
    ChildProcess p;
    ASSERT_TRUE(p.start({kBinary, "--help"}));
    auto status = p.wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (ExitStatus{true, 0, 0}));
    EXPECT_NE(p.output(Stream::kStdout).find("--listen HOST:PORT"), std::string::npos);
  }
  for (const char* bad : {"--user-level=5", "--listen=nowhere", "--frobnicate"}) {
    SCOPED_TRACE(bad);
    ChildProcess p;
    ASSERT_TRUE(p.start({kBinary, bad}));
    auto status = p.wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (ExitStatus{true, 2, 0}));
    EXPECT_TRUE(p.wait_for_line(Stream::kStderr, "tessomar-dvrsim: ", 20s)) << p.all_output();
    EXPECT_TRUE(p.output(Stream::kStdout).empty());
  }
}

TEST(DvrsimBinaryOptions, BusyPortIsReportedNotIgnored) {
  ChildProcess first;
  ASSERT_TRUE(first.start({kBinary, "--listen", "127.0.0.1:0"}));
  auto line = first.wait_for_line(Stream::kStdout, "listening on", 20s);
  ASSERT_TRUE(line);
  const std::string addr = line->text.substr(std::string("listening on ").size());
  ChildProcess second;
  ASSERT_TRUE(second.start({kBinary, "--listen", addr}));
  auto status = second.wait_exit(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ExitStatus{true, 1, 0}));
  EXPECT_TRUE(second.wait_for_line(Stream::kStderr, "cannot listen on " + addr, 20s))
      << second.all_output();
}

}  // namespace
