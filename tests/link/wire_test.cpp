#include "link/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace tessomar::link {
namespace {

using platform::load_u32le;
using platform::store_u32le;

std::string auth_string(const std::array<char, 32>& field) {
  return std::string(field.data(), strnlen(field.data(), field.size()));
}

TEST(MessageChecksum, SumsBytesUpTo1024ThenSamplesWords) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(message_checksum(abc, 3), 294u);
  EXPECT_EQ(message_checksum(abc, 0), 0u);

  std::vector<uint8_t> ones(4096, 1);
  EXPECT_EQ(message_checksum(ones.data(), 1024), 1024u);
  EXPECT_EQ(message_checksum(ones.data(), 1025), 16843009u);  // the word at 0 only

  std::vector<uint8_t> big(3000, 0xFF);
  store_u32le(big.data(), 5);
  store_u32le(big.data() + 1024, 7);
  store_u32le(big.data() + 2048, 1000);  // 2048 + 1024 > 3000: not sampled
  EXPECT_EQ(message_checksum(big.data(), 3000), 12u);
  EXPECT_EQ(message_checksum(big.data(), 1024), 255u * 1020 + 5);
}

TEST(UlcmHeader, RoundTripsWithFixedLayout) {
  UlcmHeader h;
  h.total_length = 64 + 200;
  h.type = kFrameDataPoll;
  h.value = 0x01020304;
  std::strcpy(h.auth.data(), "65A0B1C2.123.456");
  h.slot_index = 1;
  h.socket_index = 1;

  std::array<uint8_t, kUlcmHeaderSize> out;
  out.fill(0xCC);
  write_ulcm_header(out, h);

  EXPECT_EQ(load_u32le(&out[0]), 264u);
  EXPECT_EQ(std::memcmp(&out[4], "ULCM", 4), 0);
  EXPECT_EQ(load_u32le(&out[8]), 5u);
  EXPECT_EQ(out[12], 0x04);
  EXPECT_EQ(std::memcmp(&out[16], "65A0B1C2.123.456", 17), 0);
  EXPECT_EQ(out[47], 0);
  EXPECT_EQ(load_u32le(&out[48]), 0u);
  EXPECT_EQ(load_u32le(&out[52]), 1u);
  EXPECT_EQ(load_u32le(&out[56]), 1u);
  EXPECT_EQ(load_u32le(&out[60]), 0u);

  UlcmHeader back;
  back.magic = 0;
  ASSERT_TRUE(read_ulcm_header(out, back));
  EXPECT_EQ(back.total_length, h.total_length);
  EXPECT_EQ(back.magic, kUlcmMagic);
  EXPECT_EQ(back.type, h.type);
  EXPECT_EQ(back.value, h.value);
  EXPECT_EQ(back.auth, h.auth);
  EXPECT_EQ(back.slot_index, 1u);
  EXPECT_EQ(back.socket_index, 1u);

  EXPECT_FALSE(read_ulcm_header(std::span<const uint8_t>(out).first(63), back));
}

TEST(UlcmHeader, AuthFieldIsAlwaysTerminated) {
  UlcmHeader h;
  h.auth.fill('7');
  std::array<uint8_t, kUlcmHeaderSize> out{};
  write_ulcm_header(out, h);
  EXPECT_EQ(out[47], 0);

  std::memset(&out[16], 'A', 32);  // a peer's unterminated field
  UlcmHeader back;
  ASSERT_TRUE(read_ulcm_header(out, back));
  EXPECT_EQ(auth_string(back.auth), std::string(31, 'A'));
}

TEST(MessageHeader, ReadsLengthTagAndChecksum) {
  std::array<uint8_t, 40> m{};
  store_u32le(&m[0], 96);
  std::memcpy(&m[4], "VASK", 4);
  store_u32le(&m[8], 0xDEADBEEF);
  MessageHeader h;
  ASSERT_TRUE(read_message_header(m, h));
  EXPECT_EQ(h.total_length, 96u);
  EXPECT_EQ(h.tag, make_tag("VASK"));
  EXPECT_EQ(h.tag, 0x4B534156u);
  EXPECT_EQ(h.checksum, 0xDEADBEEFu);
  EXPECT_FALSE(read_message_header(std::span<const uint8_t>(m).first(31), h));
}

TEST(CredentialText, HexValueAndDecimalDigits) {
  const std::pair<char, int> hv[] = {{'0', 0},  {'1', 1}, {'9', 9}, {'A', 10},
                                     {'f', 15}, {'G', 0}, {'.', 0}, {'\0', 0}};
  for (auto [c, v] : hv) EXPECT_EQ(hex_value(c), v) << int(c);

  EXPECT_EQ(decimal_digits("a1b2"), 12u);
  EXPECT_EQ(decimal_digits(" 1 2 3\r"), 123u);
  EXPECT_EQ(decimal_digits(""), 0u);
  EXPECT_EQ(decimal_digits("4294967295"), 4294967295u);
  EXPECT_EQ(decimal_digits("4294967296"), 0u);  // wraps at 32 bits
}

TEST(CredentialText, EncodesAgainstTimeTextFromItsEnd) {
  struct Case {
    const char* a;
    const char* b;
    uint32_t time;
    const char* text;
  };
  const Case cases[] = {
      // 'B' + '1' = 12, '2' + '2' = 4, 'A' + '9' = 19 wraps to 3.
      {"12", "9", 0x1A2B, "1A2B.C4.3"},
      // k wraps over the two-character time and runs on from A into B.
      {"123", "45", 0x2F, "2F.042.64"},
      {"", "", 0, "0.."},
      {"0", "0", 0x65A0B1C2, "65A0B1C2.2.C"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(auth_string(make_auth_text(c.a, c.b, c.time)), c.text) << c.text;
  }
}

TEST(CredentialText, DecodesEncodedTextBackToCredentials) {
  const std::pair<const char*, const char*> creds[] = {
      {"123", "45"}, {"1234", "567890"}, {"", "99"}, {"0000", ""}};
  for (uint32_t time : {0x2Fu, 0x65A0B1C2u, 0xFFFFFFFFu}) {
    for (auto [a, b] : creds) {
      const std::string text = auth_string(make_auth_text(a, b, time));
      std::string out_a = "old", out_b = "old";
      ASSERT_TRUE(split_dvr_uk(text, out_a, out_b)) << text;
      EXPECT_EQ(out_a, a) << text;
      EXPECT_EQ(out_b, b) << text;
    }
  }
}

TEST(CredentialText, DecodedDifferencesBelowZeroGiveTwoDigits) {
  std::string a, b;
  ASSERT_TRUE(split_dvr_uk("5.0.4", a, b));
  EXPECT_EQ(a, "11");  // 0 - 5 + 16
  EXPECT_EQ(b, "15");  // 4 - 5 + 16
  ASSERT_TRUE(split_dvr_uk("0.F.x.y", a, b));
  EXPECT_EQ(a, "15");
  EXPECT_EQ(b, "000");  // B runs to the end, further "." included
}

TEST(CredentialText, MalformedKeysLeaveOrClearCredentials) {
  std::string a = "111", b = "222";
  EXPECT_FALSE(split_dvr_uk("65A0.1234", a, b));
  EXPECT_FALSE(split_dvr_uk("", a, b));
  EXPECT_EQ(a, "111");
  EXPECT_EQ(b, "222");
  EXPECT_TRUE(split_dvr_uk(".12.34", a, b));
  EXPECT_EQ(a, "");
  EXPECT_EQ(b, "");
}

TEST(CredentialText, LongCredentialsStayWithinTheirFields) {
  const std::string long_a(40, '7'), long_b(40, '8');
  const auto field = make_auth_text(long_a, long_b, 0xFFFFFFFF);
  EXPECT_EQ(field[31], '\0');
  EXPECT_EQ(auth_string(field).size(), 31u);
  EXPECT_EQ(auth_string(field).substr(0, 9), "FFFFFFFF.");

  std::string a, b;
  ASSERT_TRUE(split_dvr_uk("1." + std::string(40, 'F') + "." + std::string(40, '0'), a, b));
  std::string fourteens, fifteens;
  for (int i = 0; i < 16; ++i) fourteens += "14", fifteens += "15";  // 'F' - 1; '0' - 1 + 16
  EXPECT_EQ(a, fourteens.substr(0, 31));
  EXPECT_EQ(b, fifteens.substr(0, 31));
}

TEST(CredentialText, TextChangesEverySecond) {
  const auto first = make_auth_text("1234", "5678", 0x65A0B1C2);
  const auto next = make_auth_text("1234", "5678", 0x65A0B1C3);
  EXPECT_NE(first, next);
  EXPECT_NE(auth_string(first).substr(9), auth_string(next).substr(9));
}

}  // namespace
}  // namespace tessomar::link
