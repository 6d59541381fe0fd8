// The byte loops of line rebuilding and scaling, in three versions that give the same bytes:
// plain code (the reference), SSE2 (always there on x86-64) and AVX2 (used only where the
// processor reports it). The environment variable TESSOMAR_SIMD=scalar|sse2|avx2 caps the
// version a new converter picks, to compare them or to rule one out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessomar::video {

enum class SimdLevel : uint8_t { kScalar = 0, kSse2 = 1, kAvx2 = 2 };

// The best level this processor runs.
SimdLevel machine_simd_level();
// wanted, lowered to what this processor runs.
SimdLevel supported_simd_level(SimdLevel wanted);
// The best level, capped by TESSOMAR_SIMD when it names one.
SimdLevel default_simd_level();
const char* simd_level_name(SimdLevel level);

// Shifts -7..7 of the directional search, stored at shift + 7.
constexpr int kShiftCount = 15;

// floor((32 + 2|s| + sum over k = 0, 2, 4, 6 of D(above[x+s+k], below[x-s+k])) / 16), where
// D(a, b) is a - b when a >= b, else b - a - 1.
int directional_cost(const uint8_t* above, const uint8_t* below, int x, int s);

// Where the scaler reads output column n: h = (s[pos] * w0 + s[pos + 1] * w1) >> 8, the
// weights stored as (w0, w1) pairs. Blocks of eight columns whose sources lie within 16
// bytes of the block's first source also carry a byte shuffle.
struct ColumnTaps {
  static constexpr int kMaxColumns = 704;
  static constexpr int kBlocks = kMaxColumns / 8;
  uint16_t pos[kMaxColumns];
  int16_t weights[2 * kMaxColumns];
  int32_t block_base[kBlocks];  // -1: the block has no shuffle
  uint8_t block_shuffle[kBlocks][32];
};

struct PictureKernels {
  // One shift's costs: row[g] = directional_cost(above, below, 8g, s) for g < groups. The
  // rows are read from 7 before to 8 * groups + 6.
  void (*shift_costs)(const uint8_t* above, const uint8_t* below, int s, int groups, uint8_t* row);
  // One group's costs: column[(s + 7) * pitch] = directional_cost(above, below, 8g, s) for
  // every shift. The rows are read from 8g - 8 to 8g + 14.
  void (*group_costs)(const uint8_t* above, const uint8_t* below, int g, uint8_t* column,
                      ptrdiff_t pitch);
  // out[8g + i] = (above[8g + i + s] + below[8g + i - s]) >> 1 with s = shifts[g], i < 8.
  void (*average_groups)(const uint8_t* above, const uint8_t* below, const int8_t* shifts,
                         int groups, uint8_t* out);
  // sums[b] += sum of D(cur[x], prev[x]) over the even x of [16b, min(16b + 16, width)).
  void (*motion_row)(const uint8_t* cur, const uint8_t* prev, int width, uint32_t* sums);
  // out[i] = (cur[i] + prev[i]) >> 1 where |cur[i] - prev[i]| < 8, for i < n.
  void (*blend_still)(const uint8_t* cur, const uint8_t* prev, int n, uint8_t* out);
  // out[n] = (s[pos[n]] * w0 + s[pos[n] + 1] * w1) >> 8 for n < cols.
  void (*resample_row)(const uint8_t* s, const ColumnTaps& taps, int cols, uint8_t* out);
  // d[n] = (a[n] * (256 - f) + b[n] * f) >> 8 for n < count.
  void (*blend_rows)(const uint8_t* a, const uint8_t* b, int f, int count, uint8_t* d);
};

// The kernels of a level this processor runs (lower it with supported_simd_level first).
const PictureKernels& picture_kernels(SimdLevel level);

}  // namespace tessomar::video
