#include "video/parameter_sets.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessomar::video {
namespace {

std::vector<uint8_t> sets(int w, int h, int form) {
  uint8_t out[kMaxParameterSetBytes + 8];
  std::fill(std::begin(out), std::end(out), 0xEE);
  const int n = buildParameterSets(w, h, form, out);
  if (n < 0) return {};
  EXPECT_LE(n, kMaxParameterSetBytes);
  EXPECT_EQ(out[n], 0xEE) << "wrote past the returned length";
  return {out, out + n};
}

TEST(ParameterSets, DecoderFormFor704x576) {
  EXPECT_EQ(
      sets(44, 36, kDecoderForm),
      (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x09, 0x67, 0x42, 0x00, 0x1E, 0xF2, 0x81, 0x60,
                            0x24, 0xC8, 0x00, 0x00, 0x00, 0x05, 0x68, 0xC9, 0x08, 0x38, 0x80}));
}

TEST(ParameterSets, SequenceSetFor352x240IsEightBytes) {
  const auto out = sets(22, 15, kDecoderForm);
  ASSERT_EQ(out.size(), 4u + 8 + 9);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12),
            (std::vector<uint8_t>{0, 0, 0, 8, 0x67, 0x42, 0x00, 0x1E, 0xF2, 0x82, 0xC3, 0xF2}));
}

TEST(ParameterSets, AvcCFormFor704x576) {
  EXPECT_EQ(
      sets(44, 36, kAvcCForm),
      (std::vector<uint8_t>{0x00, 0x09, 0x67, 0x42, 0x00, 0x1E, 0xF2, 0x81, 0x60, 0x24, 0xC8, 0x01,
                            0x00, 0x05, 0x68, 0xC9, 0x08, 0x38, 0x80, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ParameterSets, LargestSizeFitsAndBadArgumentsAreRefused) {
  // 255 x 255 macroblocks take the longest Exp-Golomb codes (15 bits each).
  const auto big = sets(255, 255, kAvcCForm);
  ASSERT_FALSE(big.empty());
  EXPECT_EQ(big[1], 10);  // 74 + 15 + 15 + 5 bits round up to 14 bytes, 4 of them length
  EXPECT_TRUE(sets(1, 1, kDecoderForm).size() > 0);
  uint8_t out[kMaxParameterSetBytes];
  EXPECT_EQ(buildParameterSets(0, 36, kDecoderForm, out), -1);
  EXPECT_EQ(buildParameterSets(44, 256, kDecoderForm, out), -1);
  EXPECT_EQ(buildParameterSets(44, 36, 2, out), -1);
  EXPECT_EQ(buildParameterSets(44, 36, kDecoderForm, nullptr), -1);
}

}  // namespace
}  // namespace tessomar::video
