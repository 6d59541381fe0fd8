// The shipped simulator binary streams live video in real time once a session asks for it,
// and refuses bad video options.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/sim_client.h"
#include "link/wire.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/devtime.h"

namespace tessomar::e2e {
namespace {

TEST(DvrsimVideoBinary, StreamsLiveVideoInRealTime) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--poll-idle-ms", "200", "--resolution", "cif", "--time-offset", "60"}));
  std::string level, password;
  ASSERT_TRUE(link::split_dvr_uk(dvr.dvr_uk, level, password));
  SimClient c(dvr.port);
  ASSERT_TRUE(c.ok());
  auto r = c.exchange(link::kFrameSessionOpen, 0, level, password);
  ASSERT_TRUE(r) << dvr.process->all_output();
  ASSERT_EQ(r->header.type, link::kFrameSessionKey);
  const uint32_t key = r->header.value;

  Bytes feedback(256, 0);
  platform::store_u32le(&feedback[128], 4194304 - 524288);
  Bytes live(64, 0);
  platform::store_u32le(&live[8], 4);  // single view of camera 4
  platform::SystemClock clock;
  const uint32_t device_start = platform::deviceTimeNow(clock);
  const auto start = std::chrono::steady_clock::now();
  std::vector<Bytes> sends = {message("VIDO", key, {1}, feedback),
                              message("ICMD", key, {2, 256, 0, 3}, live)};

  constexpr size_t kWanted = 50;
  std::vector<Bytes> records;
  while (records.size() < kWanted && std::chrono::steady_clock::now() - start < kDeadline) {
    r = c.exchange(link::kFrameDataPoll, key, level, password, sends);
    ASSERT_TRUE(r) << dvr.process->all_output();
    for (const Bytes& m : r->messages) {
      if (word(m, 4) == link::make_tag("VIDO")) records.emplace_back(m.begin() + 64, m.end());
    }
    sends = {message("VIDO", key, {1}, feedback)};
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const uint32_t device_end = platform::deviceTimeNow(clock);
  ASSERT_GE(records.size(), kWanted) << dvr.process->all_output();
  // 50 pictures at 25 a second cannot all be here in less than 49 frame intervals.
  EXPECT_GE(elapsed, std::chrono::milliseconds(49 * 40));
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes& rec = records[i];
    ASSERT_GE(rec.size(), 160u);
    EXPECT_EQ(word(rec, 0), rec.size());
    EXPECT_EQ(word(rec, 12), i + 1);  // channel sequence
    EXPECT_EQ(word(rec, 20), 4u);     // channel
    EXPECT_EQ(word(rec, 32), i + 1);  // arrival key
    EXPECT_EQ(word(rec, 52), 3u);     // request counter
    EXPECT_GE(word(rec, 36), device_start);
    EXPECT_LE(word(rec, 36), device_end);
    EXPECT_EQ(word(rec, 128), 0x03000000u);
    EXPECT_EQ(rec[140], 18);              // CIF rows
    EXPECT_EQ(rec[141], 22);              // CIF columns
    EXPECT_EQ(word(rec, 128 + 28), 60u);  // time offset
  }
}

TEST(DvrsimVideoBinary, BadVideoOptionsExitWithStatusTwo) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--resolution", "4k"}, {"--time-offset", "-1"}}) {
    ChildProcess p;
    std::string error;
    ASSERT_TRUE(p.start({kBin + "/tessomar-dvrsim", args[0], args[1]}, &error)) << error;
    auto status = p.wait_exit(kDeadline);
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 2);
    EXPECT_NE(p.output(Stream::kStderr).find(args[0]), std::string::npos);
  }
}

}  // namespace
}  // namespace tessomar::e2e
