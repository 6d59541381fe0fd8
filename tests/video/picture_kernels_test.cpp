// The vector levels of the picture paths against the plain code, byte for byte: each level
// is forced in turn on simulator pictures, odd and edge sizes and extreme values.
#include "video/picture_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "dvrsim/scene.h"
#include "platform/bitmap.h"
#include "video/convert.h"
#include "video/interpolate.h"
#include "video/scaler.h"

namespace tessomar::video {
namespace {

using dvrsim::I420Image;

std::vector<SimdLevel> vector_levels() {
  std::vector<SimdLevel> out;
  for (SimdLevel l : {SimdLevel::kSse2, SimdLevel::kAvx2})
    if (supported_simd_level(l) == l) out.push_back(l);
  return out;
}

DecodedPicture view_of(const I420Image& p) {
  return {p.y.data(), p.u.data(), p.v.data(), p.width, p.chroma_width(), p.width, p.height};
}

// The pictures of one case, shown in turn: a scene that moves (frames of the simulator) or a
// fixed pattern repeated, so that the motion table reaches "still" and blending runs.
// Except for the plain scene and the noise, every picture gets a little fresh sensor noise, so
// that still areas differ from one picture to the next by less than the blending threshold
// and by more.
enum class Content { kScene, kNoisyScene, kBlack, kWhite, kCheckerboard, kStripes, kNoise };

void add_sensor_noise(I420Image& p, int t) {
  std::mt19937 rng(uint32_t(t) * 7919u + 1u);
  for (auto& v : p.y) v = uint8_t(std::clamp(int(v) + int(rng() % 13) - 6, 0, 255));
}

I420Image picture(Content content, int w, int h, int t) {
  I420Image p;
  if (content == Content::kScene || content == Content::kNoisyScene) {
    dvrsim::render_scene(p, 3, 1700000000u + uint32_t(t / 25), uint32_t(t % 25), w, h);
    if (content == Content::kNoisyScene) add_sensor_noise(p, t);
    return p;
  }
  p.resize(w, h);
  std::mt19937 rng(uint32_t(w * 1000 + h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t v = 0;
      switch (content) {
        case Content::kWhite:
          v = 255;
          break;
        case Content::kCheckerboard:
          v = (x + y) % 2 ? 255 : 0;
          break;
        case Content::kStripes:
          v = (x / 3 + y) % 2 ? 250 : 3;
          break;
        case Content::kNoise:
          v = uint8_t(rng());
          break;
        default:
          break;
      }
      p.y[size_t(y) * size_t(w) + size_t(x)] = v;
    }
  const uint8_t c = content == Content::kWhite ? 255 : content == Content::kBlack ? 0 : 128;
  std::fill(p.u.begin(), p.u.end(), c);
  std::fill(p.v.begin(), p.v.end(), uint8_t(255 - c));
  if (content == Content::kNoise) {
    for (auto* plane : {&p.u, &p.v})
      for (auto& v : *plane) v = uint8_t(rng());
  } else {
    add_sensor_noise(p, t);
  }
  return p;
}

struct ConvertCase {
  Content content;
  int w, h;
};

void expect_same_work_plane(const LumaWorkPlane& a, const LumaWorkPlane& b, int w, int rows) {
  for (int r = 0; r < rows; ++r)
    ASSERT_TRUE(std::equal(a.row(r), a.row(r) + w, b.row(r))) << "work plane row " << r;
  for (int by = 0; by < kMotionBlocksY; ++by)
    for (int bx = 0; bx < kMotionBlocksX; ++bx) {
      const MotionEntry& m = a.motion(bx, by);
      const MotionEntry& n = b.motion(bx, by);
      ASSERT_EQ(m.evenSum, n.evenSum) << bx << "," << by;
      ASSERT_EQ(m.oddSum, n.oddSum) << bx << "," << by;
      ASSERT_EQ(m.staticCount, n.staticCount) << bx << "," << by;
    }
}

// Every layout (plain, doubled, deinterlaced, scaled up and down) through whole converters.
TEST(PictureKernels, EveryLevelDrawsThePlainCodesPixels) {
  const ConvertCase cases[] = {
      {Content::kScene, 704, 576},
      {Content::kScene, 704, 288},
      {Content::kScene, 352, 288},
      {Content::kScene, 352, 240},
      {Content::kScene, 640, 480},
      {Content::kScene, 703, 575},
      {Content::kScene, 351, 287},
      {Content::kScene, 17, 9},
      {Content::kNoise, 704, 576},
      {Content::kNoise, 699, 287},
      {Content::kNoise, 2, 2},
      {Content::kNoise, 704, 2},
      {Content::kNoise, 2, 576},
      {Content::kNoise, 9, 577 - 2},
      {Content::kBlack, 704, 576},
      {Content::kWhite, 704, 576},
      {Content::kWhite, 352, 288},
      {Content::kCheckerboard, 704, 576},
      {Content::kCheckerboard, 352, 288},
      {Content::kStripes, 704, 288},
      {Content::kStripes, 705 - 2, 576},
  };
  const PictureContext contexts[] = {{0, false}, {1, true}};
  const int views[][2] = {{704, 576}, {352, 288}};
  for (SimdLevel level : vector_levels()) {
    for (const ConvertCase& c : cases) {
      for (const PictureContext& context : contexts) {
        for (const auto& view_size : views) {
          SCOPED_TRACE(::testing::Message()
                       << simd_level_name(level) << " " << int(c.content) << " " << c.w << "x"
                       << c.h << " mode " << context.mode << " view " << view_size[0]);
          ViewConverter plain, fast;
          plain.set_simd_level(SimdLevel::kScalar);
          fast.set_simd_level(level);
          platform::Bitmap a(view_size[0], view_size[1]), b(view_size[0], view_size[1]);
          // Four pictures, so that the deinterlacer's motion table has history.
          for (int t = 0; t < 4; ++t) {
            const I420Image p = picture(c.content, c.w, c.h, t);
            ASSERT_EQ(plain.convert(view_of(p), context, a), 0);
            ASSERT_EQ(fast.convert(view_of(p), context, b), 0);
            const size_t n = size_t(view_size[0]) * size_t(view_size[1]);
            ASSERT_TRUE(std::equal(a.data(), a.data() + n, b.data())) << "picture " << t;
            const ConversionJob& job = plain.lastJob();
            if (job.lineDoubling || job.deinterlace)
              expect_same_work_plane(plain.workPlane(), fast.workPlane(), c.w,
                                     job.lineDoubling ? 2 * c.h : c.h);
          }
        }
      }
    }
  }
}

// A row with exactly kRowReach readable bytes on both sides (so a vector load past the
// contract shows under the address sanitizer), filled with its end values.
struct PaddedRow {
  explicit PaddedRow(const std::vector<uint8_t>& v) : bytes(v.size() + 2 * kRowReach) {
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = v[std::min(size_t(std::max<long>(long(i) - kRowReach, 0)), v.size() - 1)];
  }
  const uint8_t* data() const { return bytes.data() + kRowReach; }
  std::vector<uint8_t> bytes;
};

// The shifts each pass chose, not just the pixels: two shifts can give the same pixels.
TEST(PictureKernels, InterpolatorShiftsMatchAtEveryWidth) {
  std::mt19937 rng(7);
  const int widths[] = {1, 7, 8, 9, 15, 16, 63, 64, 65, 127, 128, 129, 200, 352, 703, 704};
  for (SimdLevel level : vector_levels()) {
    for (int w : widths) {
      for (int kind = 0; kind < 4; ++kind) {
        SCOPED_TRACE(::testing::Message()
                     << simd_level_name(level) << " width " << w << " kind " << kind);
        std::vector<uint8_t> up(static_cast<size_t>(w)), down(static_cast<size_t>(w));
        for (int x = 0; x < w; ++x) {
          const int edge = x * 3 / 2;  // a slanted edge
          switch (kind) {
            case 0:  // noise
              up[size_t(x)] = uint8_t(rng());
              down[size_t(x)] = uint8_t(rng());
              break;
            case 1:  // slanted edge, full swing
              up[size_t(x)] = x % 40 < 20 ? 255 : 0;
              down[size_t(x)] = (edge + 5) % 40 < 20 ? 255 : 0;
              break;
            case 2:  // opposite extremes
              up[size_t(x)] = 255;
              down[size_t(x)] = 0;
              break;
            default:  // gentle ramp with noise
              up[size_t(x)] = uint8_t(100 + x / 8 + int(rng() % 5));
              down[size_t(x)] = uint8_t(104 + x / 8 - int(rng() % 5));
          }
        }
        const PaddedRow above(up), below(down);
        DirectionalInterpolator plain, fast;
        plain.set_simd_level(SimdLevel::kScalar);
        fast.set_simd_level(level);
        std::vector<uint8_t> a(static_cast<size_t>(w)), b(static_cast<size_t>(w));
        plain.interpolate_row(above.data(), below.data(), w, a.data());
        fast.interpolate_row(above.data(), below.data(), w, b.data());
        EXPECT_EQ(a, b);
        for (int g = 0; g < w / 8; ++g) {
          ASSERT_EQ(plain.forward_shift(g), fast.forward_shift(g)) << "group " << g;
          ASSERT_EQ(plain.backward_shift(g), fast.backward_shift(g)) << "group " << g;
          ASSERT_EQ(plain.final_shift(g), fast.final_shift(g)) << "group " << g;
        }
      }
    }
  }
}

// The cost kernels against the plain cost, for every shift and group count (the vector code
// works in blocks of 8 and 16 groups), on rows padded by exactly kRowReach: a read past the
// contract shows under the address sanitizer.
TEST(PictureKernels, CostRowsAndColumnsMatchThePlainCost) {
  std::mt19937 rng(5);
  for (int pattern = 0; pattern < 3; ++pattern) {
    std::vector<uint8_t> up(size_t(kMaxGroups) * 8), down(up.size());
    for (size_t i = 0; i < up.size(); ++i) {
      // Noise, the extremes (every D at its largest both ways), and near matches.
      up[i] = pattern == 0 ? uint8_t(rng()) : pattern == 1 ? uint8_t(i % 3 ? 255 : 0) : 100;
      down[i] = pattern == 0   ? uint8_t(rng())
                : pattern == 1 ? uint8_t(i % 5 ? 0 : 255)
                               : uint8_t(100 + rng() % 9 - 4);
    }
    for (SimdLevel level : vector_levels()) {
      const PictureKernels& kernels = picture_kernels(level);
      for (int groups = 1; groups <= kMaxGroups; ++groups) {
        // Rows of exactly this many groups, so that their padding is where the reads end.
        const PaddedRow above(std::vector<uint8_t>(up.begin(), up.begin() + 8 * groups));
        const PaddedRow below(std::vector<uint8_t>(down.begin(), down.begin() + 8 * groups));
        for (int s = -7; s <= 7; ++s) {
          std::vector<uint8_t> row(size_t(kMaxGroups) + 1, 0xEE);
          kernels.shift_costs(above.data(), below.data(), s, groups, row.data());
          for (int g = 0; g < groups; ++g)
            ASSERT_EQ(row[size_t(g)], directional_cost(above.data(), below.data(), 8 * g, s))
                << simd_level_name(level) << " pattern " << pattern << " groups " << groups
                << " shift " << s << " group " << g;
          ASSERT_EQ(row[size_t(groups)], 0xEE) << "written past the last group";
        }
        const int g = groups - 1;  // the last group reads furthest
        std::array<uint8_t, 3 * kShiftCount> column{};
        kernels.group_costs(above.data(), below.data(), g, column.data(), 3);
        for (int s = -7; s <= 7; ++s)
          ASSERT_EQ(column[size_t(3 * (s + 7))],
                    directional_cost(above.data(), below.data(), 8 * g, s))
              << simd_level_name(level) << " pattern " << pattern << " group " << g << " shift "
              << s;
      }
    }
  }
}

// Rows made of segments that each match best along one shift (the lower row is the upper one
// moved by twice the shift), with more or less noise: the passes enter groups with every
// shift, reach the ends of the range, and alternate long runs of good matches with real
// searches. Widths around the word and vector sizes, down to one group.
TEST(PictureKernels, InterpolatorShiftsMatchOnSlantedSegments) {
  std::mt19937 rng(23);
  const int widths[] = {8, 15, 16, 24, 56, 64, 72, 120, 128, 136, 248, 256, 264, 696, 703, 704};
  std::array<bool, kShiftCount> entered{}, found{};
  for (int round = 0; round < 40; ++round) {
    for (int w : widths) {
      // Texture reaching 16 samples past both ends, so that every segment has its match.
      std::vector<int> texture(static_cast<size_t>(w) + 32);
      for (auto& v : texture) v = int(rng() % 256);
      std::vector<uint8_t> up(static_cast<size_t>(w)), down(static_cast<size_t>(w));
      const int noise = round % 4 == 0 ? 0 : int(rng() % 40);
      for (int x = 0; x < w;) {
        const int len = 1 + int(rng() % 48);
        const int shift = int(rng() % 15) - 7;
        for (int end = std::min(w, x + len); x < end; ++x) {
          up[size_t(x)] = uint8_t(texture[size_t(x + 16)]);
          const int n = noise > 0 ? int(rng() % unsigned(2 * noise + 1)) - noise : 0;
          down[size_t(x)] = uint8_t(std::clamp(texture[size_t(x + 16 + 2 * shift)] + n, 0, 255));
        }
      }
      const PaddedRow above(up), below(down);
      DirectionalInterpolator plain;
      plain.set_simd_level(SimdLevel::kScalar);
      std::vector<uint8_t> a(static_cast<size_t>(w));
      plain.interpolate_row(above.data(), below.data(), w, a.data());
      for (int g = 0; g < w / 8; ++g) {
        found[size_t(plain.forward_shift(g) + 7)] = true;
        if (g > 0) entered[size_t(plain.forward_shift(g - 1) + 7)] = true;
      }
      for (SimdLevel level : vector_levels()) {
        SCOPED_TRACE(::testing::Message()
                     << simd_level_name(level) << " width " << w << " round " << round);
        DirectionalInterpolator fast;
        fast.set_simd_level(level);
        std::vector<uint8_t> b(static_cast<size_t>(w));
        fast.interpolate_row(above.data(), below.data(), w, b.data());
        ASSERT_EQ(a, b);
        for (int g = 0; g < w / 8; ++g) {
          ASSERT_EQ(plain.forward_shift(g), fast.forward_shift(g)) << "group " << g;
          ASSERT_EQ(plain.backward_shift(g), fast.backward_shift(g)) << "group " << g;
          ASSERT_EQ(plain.final_shift(g), fast.final_shift(g)) << "group " << g;
        }
      }
    }
  }
  // The rows reach what they are meant to.
  for (int s = -7; s <= 7; ++s) {
    EXPECT_TRUE(entered[size_t(s + 7)]) << "no group entered with shift " << s;
    EXPECT_TRUE(found[size_t(s + 7)]) << "no group settled on shift " << s;
  }
}

// The scaler alone, with steps the view's layouts never use (downscaling by up to four,
// uneven steps) and sources as narrow as one sample.
TEST(PictureKernels, ScalerMatchesForEveryStep) {
  struct Case {
    int src_w, src_h, cols, rows;
  } const cases[] = {{352, 288, 704, 576}, {1, 1, 704, 3},      {2, 2, 704, 576},
                     {15, 7, 704, 20},     {16, 16, 33, 33},    {17, 5, 700, 9},
                     {704, 576, 352, 288}, {704, 576, 176, 5},  {704, 1152, 704, 576},
                     {703, 61, 704, 122},  {320, 240, 701, 477}};
  std::mt19937 rng(11);
  for (SimdLevel level : vector_levels()) {
    for (const Case& c : cases) {
      for (int pattern = 0; pattern < 2; ++pattern) {
        SCOPED_TRACE(::testing::Message() << simd_level_name(level) << " " << c.src_w << "x"
                                          << c.src_h << " to " << c.cols << "x" << c.rows);
        std::vector<uint8_t> src(size_t(c.src_w) * size_t(c.src_h));
        for (auto& v : src) v = pattern == 0 ? uint8_t(rng()) : uint8_t(rng() % 2 ? 255 : 0);
        PlaneScaler plain, fast;
        plain.set_simd_level(SimdLevel::kScalar);
        fast.set_simd_level(level);
        const int h_step = scale_step(c.src_w, c.cols);
        const int v_step = scale_step(c.src_h, c.rows);
        std::vector<uint8_t> a(size_t(c.cols) * size_t(c.rows)), b(a.size());
        ASSERT_TRUE(plain.scale(src.data(), c.src_w, c.src_w, c.src_h, h_step, v_step, c.cols,
                                c.rows, a.data(), c.cols));
        ASSERT_TRUE(fast.scale(src.data(), c.src_w, c.src_w, c.src_h, h_step, v_step, c.cols,
                               c.rows, b.data(), c.cols));
        ASSERT_EQ(a, b);
      }
    }
  }
}

TEST(PictureKernels, LevelsAreLoweredToWhatTheProcessorRuns) {
  EXPECT_EQ(supported_simd_level(SimdLevel::kScalar), SimdLevel::kScalar);
  EXPECT_LE(supported_simd_level(SimdLevel::kAvx2), machine_simd_level());
  PlaneScaler s;
  s.set_simd_level(SimdLevel::kAvx2);
  EXPECT_EQ(s.simd_level(), machine_simd_level());
  EXPECT_EQ(std::string(simd_level_name(SimdLevel::kAvx2)), "avx2");
}

}  // namespace
}  // namespace tessomar::video
