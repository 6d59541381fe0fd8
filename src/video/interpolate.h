// Rebuilding picture lines: directional interpolation of a row between two others, the
// luma work plane it fills for line doubling and deinterlacing, and the per-block motion
// table that lets still areas of an interlaced picture keep their own odd lines.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "video/picture_kernels.h"

namespace tessomar::video {

// Largest picture the view takes; every buffer here is sized for it once.
constexpr int kMaxPictureWidth = 704;
constexpr int kMaxPictureHeight = 576;
constexpr int kMaxGroups = kMaxPictureWidth / 8;
constexpr int kMotionBlocksX = kMaxPictureWidth / 16;
constexpr int kMotionBlocksY = kMaxPictureHeight / 16;
// Reads of a row reach this far past either end; the rows handed in must be readable there.
constexpr int kRowReach = 8;

// Edge-aware interpolation of the row between `above` and `below`. Each group of 8 pixels
// picks a shift s in -7..7 along which the two rows match best, by a forward and a backward
// pass over the groups, and averages above[x + s] with below[x - s].
class DirectionalInterpolator {
 public:
  static constexpr int kMaxShift = 7;

  DirectionalInterpolator() : level_(default_simd_level()) {}

  // Writes width pixels to out. above and below must be readable kRowReach bytes before
  // index 0 and after index width - 1. Pixels past the last whole group use shift 0.
  void interpolate_row(const uint8_t* above, const uint8_t* below, int width, uint8_t* out);

  // Shifts of group g in the last row built.
  int forward_shift(int g) const { return forward_[size_t(g)]; }
  int backward_shift(int g) const { return backward_[size_t(g)]; }
  int final_shift(int g) const { return final_[size_t(g)]; }

  // floor((32 + 2|s| + sum over k = 0, 2, 4, 6 of D(above[x+s+k], below[x-s+k])) / 16).
  static int cost(const uint8_t* above, const uint8_t* below, int x, int s);

  // kScalar computes each cost when the search first asks for it; the vector levels compute
  // a whole shift's row when a pass first runs along that shift, and all shifts of a group
  // before searching it. The shifts and pixels are the same.
  void set_simd_level(SimdLevel level) { level_ = supported_simd_level(level); }
  SimdLevel simd_level() const { return level_; }

 private:
  static constexpr uint8_t kNoCost = 0xFF;
  static constexpr int8_t kNoMark = -128;

  int forward_cost(int g, int s);
  int backward_cost(int g, int s, bool* cached);
  void forward_pass(int groups);
  // The search of one group from running shift s: the candidates s, s - 1, s + 1, 0, -s
  // (stopping at the first good cost that may end the list), the winner by preference, then
  // further steps left or right while they keep improving. cost(shift, &may_stop).
  template <class Cost>
  int search_group(int s, Cost cost);
  void forward_pass_complete(int groups);
  void backward_pass(int groups);
  void backward_pass_complete(int groups);
  void combine_passes();
  const uint8_t* shift_row(int s);
  void need_group(int g);
  template <bool kForward>
  int search_group_complete(int g, int s);

  const uint8_t* above_ = nullptr;
  const uint8_t* below_ = nullptr;
  SimdLevel level_;
  // The vector levels: whole rows and columns of the cost table, computed as needed.
  bool vector_costs_ = false;
  const PictureKernels* kernels_ = nullptr;
  int groups_ = 0;
  uint16_t shifts_done_ = 0;                   // bit shift + 7: that shift's row is in the table
  std::array<bool, kMaxGroups> group_done_{};  // every shift of the group is in the table
  // Costs by shift + 7 and group; on the plain level kNoCost where not computed yet (the
  // vector levels keep track of whole rows and columns instead). The row length is a power
  // of two so that finding a cost in the search takes a shift, not a multiplication.
  static constexpr int kCostPitch = 128;
  static_assert(kCostPitch >= kMaxGroups + 8);  // word reads of a row may pass the last group
  std::array<std::array<uint8_t, kCostPitch>, kShiftCount> cost_table_{};
  // Per group: the shifts (bit shift + 7) whose cost the forward pass looked at, and the
  // shift it entered the group with.
  std::array<uint16_t, kMaxGroups> forward_seen_{};
  std::array<int8_t, kMaxGroups> entry_mark_{};
  std::array<int8_t, kMaxGroups> forward_{};
  std::array<int8_t, kMaxGroups> backward_{};
  std::array<int8_t, kMaxGroups> final_{};
};

// One 16 x 16 block of the deinterlacer's motion table.
struct MotionEntry {
  uint16_t evenSum = 0;     // this picture's even lines against the previous picture
  uint16_t oddSum = 0;      // odd lines; carried to the next picture's test
  uint8_t staticCount = 0;  // 0..2; 2 means still
};

// The luma work plane and the state that carries from one deinterlaced picture to the next.
// Rows have spare bytes on both sides filled with the row's end samples, so shifted reads
// past either end see the edge value.
class LumaWorkPlane {
 public:
  LumaWorkPlane();

  // 2h rows: even rows are the source lines, odd rows interpolated between neighbours (the
  // last one between the last line and itself). false when the picture does not fit.
  bool double_lines(const uint8_t* luma, int stride, int width, int height);

  // h rows: the even lines kept, every odd line rebuilt from the even lines around it, or
  // blended with the previous picture where the block has been still. Updates the motion
  // table and then keeps this picture as the previous one. false when it does not fit.
  bool deinterlace(const uint8_t* luma, int stride, int width, int height);

  const uint8_t* row(int r) const { return rows_ + ptrdiff_t(r) * kPitch; }
  static constexpr int pitch() { return kPitch; }

  const MotionEntry& motion(int bx, int by) const {
    return motion_[size_t(by) * kMotionBlocksX + size_t(bx)];
  }
  const DirectionalInterpolator& interpolator() const { return interpolator_; }

  // The vector code for the interpolation, the motion test and the blending of still areas.
  void set_simd_level(SimdLevel level);

 private:
  static constexpr int kSpareBytes = 32;
  static constexpr int kSpareRows = 8;
  static constexpr int kPitch = kMaxPictureWidth + 2 * kSpareBytes;
  static constexpr int kRows = 2 * kMaxPictureHeight;

  uint8_t* row_mut(int r) { return rows_ + ptrdiff_t(r) * kPitch; }
  void copy_line(const uint8_t* src, int width, uint8_t* dst);
  void measure_motion(const uint8_t* luma, int stride, int width, int height);
  void blend_still(const uint8_t* luma, int stride, int width, int y, uint8_t* out);

  std::unique_ptr<uint8_t[]> storage_;
  uint8_t* rows_ = nullptr;              // row 0, first picture byte
  std::unique_ptr<uint8_t[]> previous_;  // last deinterlaced luma, kMaxPictureWidth pitch
  std::array<MotionEntry, kMotionBlocksX * kMotionBlocksY> motion_{};
  DirectionalInterpolator interpolator_;
  SimdLevel level_;
};

}  // namespace tessomar::video
