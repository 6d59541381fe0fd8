// The shipped simulator binary answers the DVR channels with what its device options say:
// identity, settings and named data slots, and a refusal for bad credentials.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/sim_client.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::e2e {
namespace {

TEST(DvrsimChannelsBinary, AnswersWithTheConfiguredDevice) {
  Dvr dvr;
  ASSERT_TRUE(
      dvr.start({"--poll-idle-ms", "200", "--channels", "8", "--standard", "ntsc", "--generation",
                 "1", "--audio", "off", "--upnp", "on", "--number-text", "[N] 6100"}));
  std::string level, password;
  ASSERT_TRUE(link::split_dvr_uk(dvr.dvr_uk, level, password));
  SimClient c(dvr.port);
  ASSERT_TRUE(c.ok());
  auto r = c.exchange(link::kFrameSessionOpen, 0, level, password);
  ASSERT_TRUE(r) << dvr.process->all_output();
  ASSERT_EQ(r->header.type, link::kFrameSessionKey);
  const uint32_t key = r->header.value;

  r = c.exchange(link::kFrameDataPoll, key, level, password,
                 {message("VASK", key, {0}, std::vector<uint8_t>(256, 0))});
  ASSERT_TRUE(r);
  ASSERT_EQ(r->messages.size(), 1u);
  const auto& id = r->messages[0];
  EXPECT_EQ(word(id, 4), link::make_tag("VASK"));
  EXPECT_EQ(word(id, 36), 1u);
  EXPECT_EQ(word(id, 64 + 0), 8u);
  EXPECT_EQ(word(id, 64 + 140), 0u);
  EXPECT_EQ(word(id, 64 + 148), 1u);
  EXPECT_EQ(word(id, 64 + 224), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&id[64 + 108])), "[N] 6100");

  std::vector<uint8_t> body(256 + 960, 0);
  platform::store_u32le(&body[0], uint32_t(body.size()));
  const std::string name = "Vask_Mach_Type_Data_W";
  std::copy(name.begin(), name.end(), body.begin() + 4);
  std::vector<uint8_t> query(72, 0);
  platform::store_u32le(&query[0], 1);  // bitrate
  platform::store_u32le(&query[4], 72);
  r = c.exchange(
      link::kFrameDataPoll, key, level, password,
      {message("ICTL", key, {0, 0, 1}, body), message("ICMD", key, {1, 4096, 3, 1}, query)});
  ASSERT_TRUE(r);
  ASSERT_EQ(r->messages.size(), 2u);
  const auto& mach = r->messages[0];
  EXPECT_EQ(word(mach, 4), link::make_tag("ICTL"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&mach[64 + 4])), "Vask_Mach_Type_Data_R");
  EXPECT_EQ(word(mach, 64 + 256 + 8), 1u);  // UPnP offered
  const auto& setup = r->messages[1];
  EXPECT_EQ(word(setup, 4), link::make_tag("ICMD"));
  EXPECT_EQ(word(setup, 36), 4u);
  EXPECT_EQ(word(setup, 64), 1u);
  EXPECT_EQ(word(setup, 64 + 72), 5u);  // factory bitrate
}

TEST(DvrsimChannelsBinary, WrongCredentialsAreRefusedOnVask) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--poll-idle-ms", "200", "--password", "1111"}));
  SimClient c(dvr.port);
  ASSERT_TRUE(c.ok());
  auto r = c.exchange(link::kFrameSessionOpen, 0, "9", "2222");
  ASSERT_TRUE(r) << dvr.process->all_output();
  ASSERT_EQ(r->header.type, link::kFrameSessionKey);
  const uint32_t key = r->header.value;
  r = c.exchange(link::kFrameDataPoll, key, "9", "2222",
                 {message("VASK", key, {0}, std::vector<uint8_t>(256, 0))});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header.type, link::kFrameData);
  ASSERT_EQ(r->messages.size(), 1u);
  EXPECT_EQ(word(r->messages[0], 4), link::make_tag("VASK"));
  EXPECT_EQ(word(r->messages[0], 36), 2u);
  EXPECT_EQ(r->messages[0].size(), 64u);
  EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "refused: bad credentials", kDeadline));
}

}  // namespace
}  // namespace tessomar::e2e
