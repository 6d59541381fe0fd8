#include "video/interpolate.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tessomar::video {
namespace {

constexpr int kMaxShift = DirectionalInterpolator::kMaxShift;

inline int clamp_shift(int s) { return std::clamp(s, -kMaxShift, kMaxShift); }

// Candidates in the order they are tried, and the order in which equal costs are preferred.
enum Candidate { kSame = 0, kLeft = 1, kRight = 2, kZero = 3, kMirror = 4, kCandidates = 5 };
constexpr int kPreference[kCandidates] = {kLeft, kSame, kRight, kZero, kMirror};

constexpr int kGoodCost = 8;  // a cost below this ends a search
static_assert(kGoodCost == 8, "first_poor_group tests the bits above the low three");

// The first group from g on (before end) whose cost in row is kGoodCost or more, or end.
// Reads whole words: the row must be readable up to end rounded up to 8 past g.
inline int first_poor_group(const uint8_t* row, int g, int end) {
  for (; g < end; g += 8) {
    uint64_t w;
    std::memcpy(&w, row + g, sizeof w);
    const uint64_t poor = w & 0xF8F8F8F8F8F8F8F8u;
    if (poor != 0) {
      const int byte = (std::endian::native == std::endian::little ? std::countr_zero(poor)
                                                                   : std::countl_zero(poor)) /
                       8;
      return std::min(g + byte, end);
    }
  }
  return end;
}

}  // namespace

int DirectionalInterpolator::cost(const uint8_t* above, const uint8_t* below, int x, int s) {
  return directional_cost(above, below, x, s);
}

inline int DirectionalInterpolator::forward_cost(int g, int s) {
  uint8_t& c = cost_table_[size_t(s + kMaxShift)][size_t(g)];
  if (c == kNoCost) c = uint8_t(cost(above_, below_, g * 8, s));
  forward_seen_[size_t(g)] = uint16_t(forward_seen_[size_t(g)] | 1u << (s + kMaxShift));
  return c;
}

inline int DirectionalInterpolator::backward_cost(int g, int s, bool* cached) {
  const uint8_t c = cost_table_[size_t(s + kMaxShift)][size_t(g)];
  if ((forward_seen_[size_t(g)] >> (s + kMaxShift) & 1u) != 0) {
    *cached = true;
    // The forward pass's way into the group is penalised so that the backward pass
    // brings an independent opinion.
    return c + (entry_mark_[size_t(g)] == s ? 128 : 0);
  }
  *cached = false;
  return c != kNoCost ? c : cost(above_, below_, g * 8, s);
}

template <class Cost>
inline int DirectionalInterpolator::search_group(int s, Cost cost) {
  const int cand[kCandidates] = {s, clamp_shift(s - 1), clamp_shift(s + 1), 0, clamp_shift(-s)};
  int cost_of[kCandidates];
  bool tried[kCandidates] = {};
  for (int i = 0; i < kCandidates; ++i) {
    bool may_stop = true;
    cost_of[i] = cost(cand[i], &may_stop);
    tried[i] = true;
    if (may_stop && cost_of[i] < kGoodCost) break;
  }
  int win = -1;
  for (int p : kPreference)
    if (tried[p] && (win < 0 || cost_of[p] < cost_of[win])) win = p;
  s = cand[win];
  int best = cost_of[win];
  if ((win == kLeft || win == kRight) && best > kGoodCost) {
    const int step = win == kLeft ? -1 : 1;
    for (int n = 0; n < 5; ++n) {
      const int next = s + step;
      if (next < -kMaxShift || next > kMaxShift) break;
      bool unused = true;
      const int c = cost(next, &unused);
      if (c >= best) break;
      s = next;
      best = c;
      if (c < kGoodCost) break;
    }
  }
  return s;
}

// The same search when every cost of the group is in the table, with few branches. Each
// candidate's key is its cost
// times 8 plus its preference rank, so the smallest key among those tried is the winner.
template <bool kForward>
__attribute__((always_inline)) inline int DirectionalInterpolator::search_group_complete(int g,
                                                                                         int s) {
  constexpr int kRank[kCandidates] = {1, 0, 2, 3, 4};  // kPreference inverted
  constexpr int kByRank[kCandidates] = {kLeft, kSame, kRight, kZero, kMirror};
  const uint8_t* col = &cost_table_[0][size_t(g)];
  const unsigned seen = forward_seen_[size_t(g)];
  const int entry = entry_mark_[size_t(g)];
  auto cost_of = [&](int shift, bool* may_stop) {
    int c = col[(shift + kMaxShift) * kCostPitch];
    if constexpr (kForward) {
      *may_stop = true;
    } else {
      const bool cached = (seen >> (shift + kMaxShift) & 1u) != 0;
      c += cached && entry == shift ? 128 : 0;
      *may_stop = !cached;
    }
    return c;
  };
  const int cand[kCandidates] = {s, std::max(s - 1, -kMaxShift), std::min(s + 1, kMaxShift), 0, -s};
  int key[kCandidates];
  unsigned stops = 0;
#pragma GCC unroll 5
  for (int i = 0; i < kCandidates; ++i) {
    bool may_stop = true;
    const int c = cost_of(cand[i], &may_stop);
    stops |= unsigned(may_stop && c < kGoodCost) << i;
    key[i] = c * 8 + kRank[i];
  }
  const int tried = stops != 0 ? std::countr_zero(stops) + 1 : kCandidates;
  int best_key = key[0];
#pragma GCC unroll 5
  for (int i = 1; i < kCandidates; ++i)
    best_key = i < tried && key[i] < best_key ? key[i] : best_key;
  const int win = kByRank[best_key & 7];
  if constexpr (kForward) {
    unsigned marks = 0;
#pragma GCC unroll 5
    for (int i = 0; i < kCandidates; ++i) marks |= i < tried ? 1u << (cand[i] + kMaxShift) : 0u;
    forward_seen_[size_t(g)] = uint16_t(seen | marks);
  }
  s = cand[win];
  int best = best_key >> 3;
  if ((win == kLeft || win == kRight) && best > kGoodCost) {
    const int step = win == kLeft ? -1 : 1;
    for (int n = 0; n < 5; ++n) {
      const int next = s + step;
      if (next < -kMaxShift || next > kMaxShift) break;
      bool unused = true;
      const int c = cost_of(next, &unused);
      if constexpr (kForward)
        forward_seen_[size_t(g)] = uint16_t(forward_seen_[size_t(g)] | 1u << (next + kMaxShift));
      if (c >= best) break;
      s = next;
      best = c;
      if (c < kGoodCost) break;
    }
  }
  return s;
}

// Both passes run the same search; they differ in where the costs come from.
// Forward: every cost is computed and cached; the first below kGoodCost ends the candidates.
// Backward: cached costs are reused (and never end the candidates early); new ones are not
// cached.
void DirectionalInterpolator::forward_pass(int groups) {
  if (vector_costs_) {
    forward_pass_complete(groups);
    return;
  }
  int s = 0;
  for (int g = 0; g < groups; ++g) {
    const int entry = s;
    s = search_group(s, [&](int shift, bool* may_stop) {
      *may_stop = true;
      return forward_cost(g, shift);
    });
    forward_[size_t(g)] = int8_t(s);
    entry_mark_[size_t(g)] = int8_t(entry);
  }
}

// Most groups of a picture match well along the shift they are entered with: the first
// candidate ends their search and the shift carries on. Such runs are found a word at a time
// and filled; only the groups after them are searched.
void DirectionalInterpolator::forward_pass_complete(int groups) {
  int s = 0;
  int g = 0;
  while (g < groups) {
    const int end = first_poor_group(shift_row(s), g, groups);
    std::fill(forward_.begin() + g, forward_.begin() + end, int8_t(s));
    std::fill(entry_mark_.begin() + g, entry_mark_.begin() + end, int8_t(s));
    std::fill(forward_seen_.begin() + g, forward_seen_.begin() + end,
              uint16_t(1u << (s + kMaxShift)));
    if (end == groups) break;
    g = end;
    const int entry = s;
    forward_seen_[size_t(g)] = 0;
    need_group(g);
    s = search_group_complete<true>(g, s);
    forward_[size_t(g)] = int8_t(s);
    entry_mark_[size_t(g)] = int8_t(entry);
    ++g;
  }
}

void DirectionalInterpolator::backward_pass(int groups) {
  if (vector_costs_) {
    backward_pass_complete(groups);
    return;
  }
  int s = 0;
  for (int g = groups - 1; g >= 0; --g) {
    // A group the forward pass entered with this shift keeps it without a search.
    if (entry_mark_[size_t(g)] != s) {
      s = search_group(s, [&](int shift, bool* may_stop) {
        bool cached = false;
        const int c = backward_cost(g, shift, &cached);
        *may_stop = !cached;
        return c;
      });
    }
    backward_[size_t(g)] = int8_t(s);
  }
}

// As in the forward pass, a group keeps the running shift without a search when the forward
// pass entered it with that shift, or when the shift's cost is good and new to the group.
void DirectionalInterpolator::backward_pass_complete(int groups) {
  int s = 0;
  for (int g = groups - 1; g >= 0; --g) {
    const unsigned bit = 1u << (s + kMaxShift);
    const uint8_t* costs = shift_row(s);
    while (g >= 0 && (entry_mark_[size_t(g)] == s ||
                      ((forward_seen_[size_t(g)] & bit) == 0 && costs[g] < kGoodCost))) {
      backward_[size_t(g)] = int8_t(s);
      --g;
    }
    if (g < 0) break;
    need_group(g);
    s = search_group_complete<false>(g, s);
    backward_[size_t(g)] = int8_t(s);
  }
}

const uint8_t* DirectionalInterpolator::shift_row(int s) {
  uint8_t* row = cost_table_[size_t(s + kMaxShift)].data();
  const uint16_t bit = uint16_t(1u << (s + kMaxShift));
  if ((shifts_done_ & bit) == 0) {
    kernels_->shift_costs(above_, below_, s, groups_, row);
    shifts_done_ = uint16_t(shifts_done_ | bit);
  }
  return row;
}

void DirectionalInterpolator::need_group(int g) {
  if (group_done_[size_t(g)]) return;
  kernels_->group_costs(above_, below_, g, &cost_table_[0][size_t(g)], kCostPitch);
  group_done_[size_t(g)] = true;
}

// Only a direction both passes agree on is trusted, and then the more cautious one: the
// smaller of two positive shifts, the larger of two negative ones, else 0. Over the whole
// arrays, eight groups at a time; past the row's groups the result is not used.
void DirectionalInterpolator::combine_passes() {
  static_assert(kMaxGroups % 8 == 0);
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  for (size_t g = 0; g < size_t(kMaxGroups); g += 8) {
    const __m128i f8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&forward_[g]));
    const __m128i b8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&backward_[g]));
    const __m128i f = _mm_srai_epi16(_mm_unpacklo_epi8(f8, f8), 8);
    const __m128i b = _mm_srai_epi16(_mm_unpacklo_epi8(b8, b8), 8);
    const __m128i shift = _mm_add_epi16(_mm_max_epi16(_mm_min_epi16(f, b), zero),
                                        _mm_min_epi16(_mm_max_epi16(f, b), zero));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&final_[g]), _mm_packs_epi16(shift, shift));
  }
#else
  for (size_t g = 0; g < size_t(kMaxGroups); ++g) {
    const int f = forward_[g];
    const int b = backward_[g];
    final_[g] = int8_t(std::max(std::min(f, b), 0) + std::min(std::max(f, b), 0));
  }
#endif
}

void DirectionalInterpolator::interpolate_row(const uint8_t* above, const uint8_t* below, int width,
                                              uint8_t* out) {
  const int groups = std::min(width / 8, kMaxGroups);
  above_ = above;
  below_ = below;
  const PictureKernels& kernels = picture_kernels(level_);
  vector_costs_ = level_ != SimdLevel::kScalar;
  if (!vector_costs_) {
    for (auto& by_group : cost_table_) std::fill_n(by_group.begin(), groups, kNoCost);
  } else {
    kernels_ = &kernels;
    groups_ = groups;
    shifts_done_ = 0;
    std::fill_n(group_done_.begin(), groups, false);
  }
  if (!vector_costs_) {  // the vector levels' forward pass writes every group's marks itself
    std::fill_n(forward_seen_.begin(), groups, uint16_t(0));
    std::fill_n(entry_mark_.begin(), groups, kNoMark);
  }
  forward_pass(groups);
  backward_pass(groups);

  combine_passes();
  kernels.average_groups(above, below, final_.data(), groups, out);
  for (int x = groups * 8; x < width; ++x) out[x] = uint8_t((above[x] + below[x]) >> 1);
  above_ = below_ = nullptr;
  kernels_ = nullptr;
}

LumaWorkPlane::LumaWorkPlane()
    : storage_(new uint8_t[size_t(kPitch) * (kRows + 2 * kSpareRows)]()),
      rows_(storage_.get() + size_t(kPitch) * kSpareRows + kSpareBytes),
      previous_(new uint8_t[size_t(kMaxPictureWidth) * kMaxPictureHeight]()),
      level_(default_simd_level()) {
  interpolator_.set_simd_level(level_);
}

void LumaWorkPlane::set_simd_level(SimdLevel level) {
  level_ = supported_simd_level(level);
  interpolator_.set_simd_level(level_);
}

void LumaWorkPlane::copy_line(const uint8_t* src, int width, uint8_t* dst) {
  std::memcpy(dst, src, size_t(width));
  std::memset(dst - kSpareBytes, src[0], kSpareBytes);
  std::memset(dst + width, src[width - 1], kSpareBytes);
}

bool LumaWorkPlane::double_lines(const uint8_t* luma, int stride, int width, int height) {
  if (width < 1 || width > kMaxPictureWidth || height < 1 || height > kMaxPictureHeight)
    return false;
  copy_line(luma, width, row_mut(0));
  for (int k = 0; k < height; ++k) {
    const uint8_t* above = row(2 * k);
    const uint8_t* below = above;  // past the last line, the last line again
    if (k + 1 < height) {
      copy_line(luma + ptrdiff_t(k + 1) * stride, width, row_mut(2 * k + 2));
      below = row(2 * k + 2);
    }
    interpolator_.interpolate_row(above, below, width, row_mut(2 * k + 1));
  }
  return true;
}

void LumaWorkPlane::measure_motion(const uint8_t* luma, int stride, int width, int height) {
  const PictureKernels& kernels = picture_kernels(level_);
  const int bw = (width + 15) / 16;
  const int bh = (height + 15) / 16;
  for (int by = 0; by < bh; ++by) {
    std::array<uint32_t, kMotionBlocksX> sums[2] = {};  // even lines, odd lines
    const int y_end = std::min(by * 16 + 16, height);
    for (int y = by * 16; y < y_end; ++y) {
      const uint8_t* cur = luma + ptrdiff_t(y) * stride;
      const uint8_t* prev = previous_.get() + ptrdiff_t(y) * kMaxPictureWidth;
      kernels.motion_row(cur, prev, width, sums[y & 1].data());
    }
    for (int bx = 0; bx < bw; ++bx) {
      MotionEntry& m = motion_[size_t(by) * kMotionBlocksX + size_t(bx)];
      const uint16_t even = uint16_t(std::min<uint32_t>(sums[0][size_t(bx)], 0xFFFF));
      const uint16_t odd = uint16_t(std::min<uint32_t>(sums[1][size_t(bx)], 0xFFFF));
      // The odd lines were last seen one picture ago, so each picture's odd sum is tested
      // together with the next picture's even sum.
      const uint32_t v = uint32_t(even) + m.oddSum;
      m.evenSum = even;
      m.oddSum = odd;
      if (v > 1024)
        m.staticCount = 0;
      else if (v < 768 && m.staticCount < 2)
        ++m.staticCount;
    }
  }
}

void LumaWorkPlane::blend_still(const uint8_t* luma, int stride, int width, int y, uint8_t* out) {
  const PictureKernels& kernels = picture_kernels(level_);
  const uint8_t* cur = luma + ptrdiff_t(y) * stride;
  const uint8_t* prev = previous_.get() + ptrdiff_t(y) * kMaxPictureWidth;
  const MotionEntry* blocks = &motion_[size_t(y / 16) * kMotionBlocksX];
  const int bw = (width + 15) / 16;
  for (int b = 0; b < bw; ++b) {
    if (blocks[b].staticCount != 2) continue;
    // A run of still blocks in one call.
    int e = b + 1;
    while (e < bw && blocks[e].staticCount == 2) ++e;
    const int x0 = 16 * b;
    const int x_end = std::min(16 * e, width);
    kernels.blend_still(cur + x0, prev + x0, x_end - x0, out + x0);
    b = e;
  }
}

bool LumaWorkPlane::deinterlace(const uint8_t* luma, int stride, int width, int height) {
  if (width < 1 || width > kMaxPictureWidth || height < 1 || height > kMaxPictureHeight)
    return false;
  measure_motion(luma, stride, width, height);
  copy_line(luma, width, row_mut(0));
  for (int k = 0; 2 * k + 1 < height; ++k) {
    const uint8_t* above = row(2 * k);
    const uint8_t* below = above;
    if (2 * k + 2 < height) {
      copy_line(luma + ptrdiff_t(2 * k + 2) * stride, width, row_mut(2 * k + 2));
      below = row(2 * k + 2);
    }
    uint8_t* out = row_mut(2 * k + 1);
    interpolator_.interpolate_row(above, below, width, out);
    blend_still(luma, stride, width, 2 * k + 1, out);
  }
  for (int y = 0; y < height; ++y)
    std::memcpy(previous_.get() + ptrdiff_t(y) * kMaxPictureWidth, luma + ptrdiff_t(y) * stride,
                size_t(width));
  return true;
}

}  // namespace tessomar::video
