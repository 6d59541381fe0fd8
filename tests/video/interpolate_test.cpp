#include "video/interpolate.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessomar::video {
namespace {

// A row with kRowReach readable bytes on both sides, filled with its end values.
struct PaddedRow {
  explicit PaddedRow(std::vector<uint8_t> v) : bytes(v.size() + 2 * kRowReach) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const long j = std::clamp(long(i) - kRowReach, 0L, long(v.size()) - 1);
      bytes[i] = v[size_t(j)];
    }
  }
  const uint8_t* data() const { return bytes.data() + kRowReach; }
  std::vector<uint8_t> bytes;
};

TEST(DirectionalCost, UsesEveryOtherSampleAndTheBiasedDifference) {
  // D(a, b) is a - b when a >= b, else b - a - 1: 64 against 0 costs one more than 0
  // against 64.
  const PaddedRow hi(std::vector<uint8_t>(32, 64));
  const PaddedRow lo(std::vector<uint8_t>(32, 0));
  EXPECT_EQ(DirectionalInterpolator::cost(hi.data(), lo.data(), 8, 0), (32 + 4 * 64) / 16);
  EXPECT_EQ(DirectionalInterpolator::cost(lo.data(), hi.data(), 8, 0), (32 + 4 * 63) / 16);
  EXPECT_EQ(DirectionalInterpolator::cost(hi.data(), hi.data(), 8, -7), (32 + 14) / 16);

  // Odd sample positions are not looked at.
  std::vector<uint8_t> odd_noise(32, 10);
  for (size_t i = 1; i < 32; i += 2) odd_noise[i] = 250;
  const PaddedRow noisy(odd_noise);
  const PaddedRow flat(std::vector<uint8_t>(32, 10));
  EXPECT_EQ(DirectionalInterpolator::cost(noisy.data(), flat.data(), 8, 0), 2);
}

TEST(DirectionalInterpolation, MatchingRowsKeepShiftZero) {
  std::vector<uint8_t> v(64);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i * 37 % 251);
  const PaddedRow row(v);
  DirectionalInterpolator interp;
  std::vector<uint8_t> out(64);
  interp.interpolate_row(row.data(), row.data(), 64, out.data());
  EXPECT_EQ(out, v);
  for (int g = 0; g < 8; ++g) EXPECT_EQ(interp.final_shift(g), 0);
}

// Two flat rows that do not match anywhere: every shift costs about the same, so the tie
// rules, the leftward search and the backward pass's use of the cache decide. Traced by
// hand: costs are 14 for |s| <= 3 and 15 for |s| = 4.
TEST(DirectionalInterpolation, TiesAndCacheFollowTheSearchOrder) {
  const PaddedRow above(std::vector<uint8_t>(80, 100));
  const PaddedRow below(std::vector<uint8_t>(80, 50));
  DirectionalInterpolator interp;
  std::vector<uint8_t> out(80);
  interp.interpolate_row(above.data(), below.data(), 80, out.data());

  const int forward[10] = {-1, -2, -3, -3, -3, -3, -3, -3, -3, -3};
  const int backward[10] = {-3, -3, -2, -2, -2, -2, -2, -2, -2, -1};
  const int final[10] = {-1, -2, -2, -2, -2, -2, -2, -2, -2, -1};
  for (int g = 0; g < 10; ++g) {
    EXPECT_EQ(interp.forward_shift(g), forward[g]) << "group " << g;
    EXPECT_EQ(interp.backward_shift(g), backward[g]) << "group " << g;
    EXPECT_EQ(interp.final_shift(g), final[g]) << "group " << g;
  }
  for (uint8_t v : out) EXPECT_EQ(v, 75);
}

// An edge alone in flat surroundings: the forward pass finds its direction, but the
// backward pass reaches the edge's group with shift 0, which is the forward pass's entry
// shift there, and keeps it. The passes disagree, so the group is averaged straight down.
TEST(DirectionalInterpolation, IsolatedEdgeIsAveragedStraightDown) {
  std::vector<uint8_t> a(64, 40), b(64, 40);
  for (int x = 28; x < 64; ++x) a[size_t(x)] = 200;
  for (int x = 30; x < 64; ++x) b[size_t(x)] = 200;
  const PaddedRow above(a), below(b);
  DirectionalInterpolator interp;
  std::vector<uint8_t> out(64);
  interp.interpolate_row(above.data(), below.data(), 64, out.data());
  EXPECT_EQ(interp.forward_shift(3), -1);
  EXPECT_EQ(interp.backward_shift(3), 0);
  for (int g = 0; g < 8; ++g) EXPECT_EQ(interp.final_shift(g), 0) << "group " << g;
  EXPECT_EQ(out[28], 120);
  EXPECT_EQ(out[29], 120);
}

}  // namespace
}  // namespace tessomar::video
