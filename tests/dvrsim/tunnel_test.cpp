#include "dvrsim/tunnel.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

const Credentials kCreds{"9", "1234"};
constexpr int64_t kNow = 1700000000;

std::array<char, 32> text(const char* s) {
  std::array<char, 32> a{};
  std::strncpy(a.data(), s, 31);
  return a;
}

TEST(DvrsimTunnel, AuthCheck) {
  struct Case {
    const char* name;
    std::array<char, 32> auth;
    AuthResult expected;
  };
  const Case cases[] = {
      {"good", link::make_auth_text("9", "1234", kNow), AuthResult::kOk},
      {"good, 300 s late", link::make_auth_text("9", "1234", kNow - 300), AuthResult::kOk},
      {"good, 300 s early", link::make_auth_text("9", "1234", kNow + 300), AuthResult::kOk},
      {"301 s late", link::make_auth_text("9", "1234", kNow - 301), AuthResult::kStaleTime},
      {"wrong level", link::make_auth_text("8", "1234", kNow), AuthResult::kBadCredentials},
      {"wrong password", link::make_auth_text("9", "1235", kNow), AuthResult::kBadCredentials},
      {"password prefix", link::make_auth_text("9", "123", kNow), AuthResult::kBadCredentials},
      {"empty", text(""), AuthResult::kMalformed},
      {"one dot", text("6553F100.3"), AuthResult::kMalformed},
      {"empty time", text(".3.45"), AuthResult::kMalformed},
      {"time not hex", text("65Z3F100.3.45"), AuthResult::kMalformed},
      {"time too long", text("16553F100.3.45"), AuthResult::kMalformed},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(check_auth(k.auth, kCreds, kNow, 300), k.expected);
  }
}

TEST(DvrsimTunnel, DvrUkDecodesToTheCredentials) {
  for (const Credentials& c : {Credentials{"7", "0"}, Credentials{"8", "90817263544536271809"},
                               Credentials{"9", "1234"}}) {
    const std::string uk = make_dvr_uk(c, kNow);
    std::string a, b;
    ASSERT_TRUE(link::split_dvr_uk(uk, a, b)) << uk;
    EXPECT_EQ(a, c.user_level);
    EXPECT_EQ(b, c.password);
    EXPECT_LE(uk.size(), 31u);
  }
}

TEST(DvrsimTunnel, ReplyEnvelopeAndFrame) {
  link::UlcmHeader h;
  h.type = link::kFrameData;
  h.value = 0xABCD;
  h.slot_index = 1;
  h.socket_index = 1;
  const std::vector<uint8_t> payload(100, 0x5A);
  for (bool bad_status : {false, true}) {
    for (bool bad_magic : {false, true}) {
      const auto out = build_reply(h, payload, {bad_status, bad_magic});
      const std::string s(out.begin(), out.end());
      const size_t end = s.find("\r\n\r\n");
      ASSERT_NE(end, std::string::npos);
      EXPECT_EQ(
          s.rfind(bad_status ? "HTTP/1.1 500 Internal Server Error\r\n" : "HTTP/1.1 200 OK\r\n", 0),
          0u);
      EXPECT_NE(s.find("Content-Length: 164\r\n"), std::string::npos);
      ASSERT_EQ(out.size() - (end + 4), 164u);
      link::UlcmHeader got;
      ASSERT_TRUE(link::read_ulcm_header(std::span<const uint8_t>(out).subspan(end + 4), got));
      EXPECT_EQ(got.total_length, 164u);
      EXPECT_EQ(got.magic == link::kUlcmMagic, !bad_magic);
      EXPECT_EQ(got.type, link::kFrameData);
      EXPECT_EQ(got.value, 0xABCDu);
      EXPECT_EQ(got.slot_index, 1u);
      EXPECT_EQ(got.socket_index, 1u);
      EXPECT_EQ(out.back(), 0x5A);
    }
  }
}

}  // namespace
}  // namespace tessomar::dvrsim
