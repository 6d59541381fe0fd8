#include "video/convert.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/form.h"
#include "video/test_streams.h"

namespace tessomar::video {
namespace {

using platform::Bitmap;
using testing::Planes;

constexpr uint32_t kSentinel = 0x12345678;

DecodedPicture view_of(const Planes& p) {
  DecodedPicture d;
  d.planeY = p.y.data();
  d.planeCb = p.cb.data();
  d.planeCr = p.cr.data();
  d.strideY = p.width;
  d.strideC = p.width / 2;
  d.width = p.width;
  d.height = p.height;
  return d;
}

Planes filled(int w, int h, uint8_t y, uint8_t cb, uint8_t cr) {
  Planes p(w, h);
  std::fill(p.y.begin(), p.y.end(), y);
  std::fill(p.cb.begin(), p.cb.end(), cb);
  std::fill(p.cr.begin(), p.cr.end(), cr);
  return p;
}

Planes random_planes(int w, int h, uint32_t seed) {
  std::mt19937 rng(seed);
  Planes p(w, h);
  for (auto* plane : {&p.y, &p.cb, &p.cr})
    for (auto& v : *plane) v = uint8_t(rng());
  return p;
}

uint8_t luma_of(uint32_t pixel) { return uint8_t(pixel); }  // grey pictures: R = G = B = Y

struct LayoutCase {
  int w, h, mode;
  bool interlaced;
  bool doubling, deinterlace, scaling;
  int out_w, out_h, x, y;
};

TEST(Layout, SizesOffsetsAndFlagsInThe704x576View) {
  const LayoutCase cases[] = {
      {704, 576, 0, false, false, false, false, 704, 576, 0, 0},
      {704, 480, 0, false, false, false, false, 704, 480, 0, 48},
      {640, 480, 0, false, false, false, false, 640, 480, 32, 48},
      {704, 288, 0, false, true, false, false, 704, 576, 0, 0},
      {704, 240, 0, false, true, false, false, 704, 480, 0, 48},
      {352, 288, 0, false, false, false, true, 704, 576, 0, 0},
      {320, 240, 0, false, false, false, true, 640, 480, 32, 48},
      // Interlaced pictures are deinterlaced only in playback and backup, and only at full
      // height; half-height ones are doubled as before.
      {704, 576, 1, true, false, true, false, 704, 576, 0, 0},
      {640, 480, 2, true, false, true, false, 640, 480, 32, 48},
      {704, 576, 0, true, false, false, false, 704, 576, 0, 0},
      {704, 288, 2, true, true, false, false, 704, 576, 0, 0},
      {352, 288, 1, true, false, false, true, 704, 576, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.w << "x" << c.h << " mode " << c.mode << (c.interlaced ? " interlaced" : ""));
    const ConversionJob j = planConversion(c.w, c.h, 704, 576, {c.mode, c.interlaced});
    EXPECT_EQ(j.viewWidth, 704);
    EXPECT_EQ(j.viewHeight, 576);
    EXPECT_EQ(j.lineDoubling, c.doubling);
    EXPECT_EQ(j.deinterlace, c.deinterlace);
    EXPECT_EQ(j.scaling, c.scaling);
    EXPECT_EQ(j.outWidth, c.out_w);
    EXPECT_EQ(j.outHeight, c.out_h);
    EXPECT_EQ(j.xOffset, c.x);
    EXPECT_EQ(j.yOffset, c.y);
  }
  // The view size is rounded up to whole steps of the colour stage, and capped.
  const ConversionJob odd = planConversion(704, 576, 701, 570, {});
  EXPECT_EQ(odd.viewWidth, 704);
  EXPECT_EQ(odd.viewHeight, 576);
  const ConversionJob big = planConversion(704, 576, 1000, 1000, {});
  EXPECT_EQ(big.viewWidth, 704);
  EXPECT_EQ(big.viewHeight, 576);
}

struct ColourCase {
  uint8_t y, cb, cr;
  uint32_t pixel;
};

// Pixels computed by hand from the fixed-point formulas.
constexpr ColourCase kColours[] = {
    {128, 128, 128, 0x00808080}, {0, 255, 128, 0x000000FF},  // b = 255: full blue from black
    {100, 200, 50, 0x000B75F5},                              // r -89, g 17, b 145
    {255, 128, 255, 0x00FFB6FF},                             // r 144 saturates, g -73, b 0
    {16, 0, 0, 0x00008D00},                                  // r -146, g 125, b -258
};

class ColourStage : public ::testing::TestWithParam<bool> {};

TEST_P(ColourStage, FixedPointFormulasAndLimits) {
  if (GetParam() && !sse2_available()) GTEST_SKIP() << "no SSE2";
  const ColourRowsFn kernel = select_colour_rows(GetParam());
  for (const auto& c : kColours) {
    std::vector<uint8_t> y(16, c.y), cb(8, c.cb), cr(8, c.cr);
    std::vector<uint32_t> out(16);
    ColourRows job;
    job.rows = 1;
    job.y[0] = y.data();
    job.out[0] = out.data();
    job.cb = cb.data();
    job.cr = cr.data();
    job.width = 16;
    kernel(job);
    for (uint32_t p : out)
      EXPECT_EQ(p, c.pixel) << int(c.y) << "/" << int(c.cb) << "/" << int(c.cr);
  }
  // Cb 0 takes 258 off blue: no Y brings it above 0.
  std::vector<uint8_t> y(256), cb(128, 0), cr(128, 128);
  for (int i = 0; i < 256; ++i) y[size_t(i)] = uint8_t(i);
  std::vector<uint32_t> out(256);
  ColourRows job;
  job.rows = 1;
  job.y[0] = y.data();
  job.out[0] = out.data();
  job.cb = cb.data();
  job.cr = cr.data();
  job.width = 256;
  kernel(job);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(out[size_t(i)] & 0xFF, 0u) << "Y " << i;
}

INSTANTIATE_TEST_SUITE_P(Kernels, ColourStage, ::testing::Values(false, true),
                         [](const auto& test_info) { return test_info.param ? "Sse2" : "Scalar"; });

// Every vector level against the plain code, written through the cache and around it, with
// rows on a 32-byte boundary and off it.
TEST(ColourStage, SimdMatchesScalarOnRandomRowsOfAnyWidthAndAlignment) {
  if (!sse2_available()) GTEST_SKIP() << "no SSE2";
  using Row = std::vector<uint32_t, platform::CacheLineAllocator<uint32_t>>;
  std::vector<std::pair<const char*, ColourRowsFn>> kernels = {{"sse2", convert_rows_sse2}};
  if (supported_simd_level(SimdLevel::kAvx2) == SimdLevel::kAvx2)
    kernels.emplace_back("avx2", convert_rows_avx2);
  std::mt19937 rng(7);
  for (int width : {1, 2, 7, 8, 9, 15, 16, 33, 64, 95, 704}) {
    for (int rows = 1; rows <= 4; ++rows) {
      std::vector<std::vector<uint8_t>> y(4, std::vector<uint8_t>(size_t(width)));
      std::vector<uint8_t> cb(size_t(width + 1) / 2), cr(size_t(width + 1) / 2);
      for (auto& r : y)
        for (auto& v : r) v = uint8_t(rng());
      for (auto& v : cb) v = uint8_t(rng());
      for (auto& v : cr) v = uint8_t(rng());
      std::vector<Row> a(4, Row(size_t(width) + 16, kSentinel));
      ColourRows job;
      job.rows = rows;
      job.cb = cb.data();
      job.cr = cr.data();
      job.width = width;
      for (int t = 0; t < 4; ++t) {
        job.y[t] = y[size_t(t)].data();
        job.out[t] = a[size_t(t)].data();
      }
      convert_rows_scalar(job);
      for (const auto& [name, kernel] : kernels) {
        for (const auto& [offset, around_cache] :
             {std::pair<size_t, bool>{0, false}, {0, true}, {1, true}, {8, true}}) {
          job.write_around_cache = around_cache;
          std::vector<Row> b(4, Row(size_t(width) + 16, kSentinel));
          for (int t = 0; t < 4; ++t) job.out[t] = b[size_t(t)].data() + offset;
          kernel(job);
          for (int t = 0; t < 4; ++t) {
            const Row want(a[size_t(t)].begin(), a[size_t(t)].begin() + width);
            const Row got(b[size_t(t)].begin() + ptrdiff_t(offset),
                          b[size_t(t)].begin() + ptrdiff_t(offset) + width);
            EXPECT_EQ(got, want) << name << " width " << width << " rows " << rows << " offset "
                                 << offset << " around cache " << around_cache << " row " << t;
            // Nothing written beside the row.
            for (size_t i = 0; i < offset; ++i) EXPECT_EQ(b[size_t(t)][i], kSentinel);
            for (size_t i = offset + size_t(width); i < b[size_t(t)].size(); ++i)
              EXPECT_EQ(b[size_t(t)][i], kSentinel);
          }
        }
      }
    }
  }
}

class ViewConverterTest : public ::testing::Test {
 protected:
  ViewConverterTest() : view_(704, 576) { view_.fill(kSentinel); }

  int show(const Planes& p, PictureContext context = {}) {
    return converter_.convert(view_of(p), context, view_);
  }

  ViewConverter converter_;
  Bitmap view_;
};

TEST_F(ViewConverterTest, FullSizeGreyFillsTheViewWithoutFrame) {
  ASSERT_EQ(show(filled(704, 576, 128, 128, 128)), 0);
  for (int y = 0; y < 576; ++y)
    for (int x = 0; x < 704; ++x) ASSERT_EQ(view_.pixel(x, y), 0x00808080u) << x << "," << y;
}

struct FrameCase {
  int w, h;
  int x0, y0, x1, y1;  // the picture's rectangle in the view
};

TEST_F(ViewConverterTest, GreyFrameSurroundsSmallerPictures) {
  const FrameCase cases[] = {
      {704, 480, 0, 48, 704, 528},
      {640, 480, 32, 48, 672, 528},
      {320, 240, 32, 48, 672, 528},
      {704, 240, 0, 48, 704, 528},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h);
    view_.fill(kSentinel);
    ASSERT_EQ(show(filled(c.w, c.h, 128, 128, 128)), 0);
    for (int y = 0; y < 576; ++y)
      for (int x = 0; x < 704; ++x) {
        const bool inside = x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1;
        ASSERT_EQ(view_.pixel(x, y), inside ? 0x00808080u : kFrameColour) << x << "," << y;
      }
  }
}

// Bilinear at a step of 2048 in both directions: even outputs sit on source samples, odd
// ones halfway; past the last sample the last one is used.
TEST_F(ViewConverterTest, Cif352x288IsUpscaledByTwoInBothDirections) {
  Planes p = filled(352, 288, 0, 128, 128);
  for (int y = 0; y < 288; ++y)
    for (int x = 0; x < 352; ++x) p.Y(x, y) = uint8_t((x * 3 + y * 7) % 256);
  ASSERT_EQ(show(p), 0);
  EXPECT_EQ(converter_.lastJob().scaling, true);
  EXPECT_EQ(converter_.lastJob().lineDoubling, false);

  auto src = [&](int x, int y) { return int(p.Y(std::min(x, 351), std::min(y, 287))); };
  auto row_at = [&](int n, int y) {
    return n % 2 == 0 ? src(n / 2, y) : (src(n / 2, y) + src(n / 2 + 1, y)) >> 1;
  };
  for (int m = 0; m < 576; ++m)
    for (int n = 0; n < 704; ++n) {
      const int want =
          m % 2 == 0 ? row_at(n, m / 2) : (row_at(n, m / 2) + row_at(n, m / 2 + 1)) >> 1;
      ASSERT_EQ(luma_of(view_.pixel(n, m)), want) << n << "," << m;
    }
  EXPECT_EQ(luma_of(view_.pixel(703, 575)), p.Y(351, 287));
}

TEST_F(ViewConverterTest, ScaledChromaFollowsThePicture) {
  // Left half blue-ish, right half yellow-ish in chroma; scaled, the change lands in the
  // middle of the view.
  Planes p = filled(352, 288, 128, 128, 128);
  for (int y = 0; y < 144; ++y)
    for (int x = 0; x < 176; ++x) p.Cb(x, y) = x < 88 ? 200 : 60;
  ASSERT_EQ(show(p), 0);
  const uint32_t left = view_.pixel(10, 300), right = view_.pixel(690, 300);
  EXPECT_EQ(left & 0xFF, std::min(255, 128 + ((516 * 200) >> 8) - 258));
  EXPECT_EQ(right & 0xFF, uint32_t(std::max(0, 128 + ((516 * 60) >> 8) - 258)));
  EXPECT_EQ(view_.pixel(340, 300), left);
  EXPECT_EQ(view_.pixel(364, 300), right);
}

// Diagonal stripes moving 4 pixels per source line. The forward pass finds shift 2; the
// backward pass may not take the forward pass's entry shift (its cached cost carries the
// mark's 128) and settles on 1; the more cautious of the two, 1, is used. Each new line is
// then built along that diagonal and has half the grey of a straight average.
TEST_F(ViewConverterTest, LineDoublingInterpolatesAlongDiagonals) {
  auto stripe = [](int t) { return ((t + 640) / 6) % 2 ? 210 : 30; };
  Planes p = filled(704, 288, 0, 128, 128);
  for (int y = 0; y < 288; ++y)
    for (int x = 0; x < 704; ++x) p.Y(x, y) = uint8_t(stripe(x + 4 * y));
  ASSERT_EQ(show(p), 0);
  ASSERT_TRUE(converter_.lastJob().lineDoubling);
  int grey = 0, straight_grey = 0;
  for (int k = 0; k + 1 < 288; ++k) {
    for (int x = 0; x < 704; ++x) ASSERT_EQ(luma_of(view_.pixel(x, 2 * k)), p.Y(x, k));
    for (int x = 64; x < 640; ++x) {
      const int v = luma_of(view_.pixel(x, 2 * k + 1));
      ASSERT_EQ(v, (p.Y(x + 1, k) + p.Y(x - 1, k + 1)) >> 1) << x << "," << 2 * k + 1;
      grey += v == 120;
      straight_grey += p.Y(x, k) != p.Y(x, k + 1);
    }
  }
  EXPECT_EQ(2 * grey, straight_grey);
}

TEST_F(ViewConverterTest, LineDoublingOfAVerticalEdgeIsExact) {
  Planes p = filled(704, 288, 30, 128, 128);
  for (int y = 0; y < 288; ++y)
    for (int x = 300; x < 704; ++x) p.Y(x, y) = 220;
  ASSERT_EQ(show(p), 0);
  for (int m = 0; m < 576; ++m)
    for (int x = 0; x < 704; ++x)
      ASSERT_EQ(luma_of(view_.pixel(x, m)), x < 300 ? 30 : 220) << x << "," << m;
}

TEST_F(ViewConverterTest, StillInterlacedPictureTurnsStaticAndKeepsItsOddLines) {
  const Planes a = random_planes(704, 576, 11);
  const PictureContext playback{1, true};
  // The first picture is compared with nothing like it; the second one's test still
  // carries the first's odd-line sum. Then two quiet tests make the blocks still.
  const int want_count[] = {0, 0, 1, 2, 2};
  for (int n = 0; n < 5; ++n) {
    ASSERT_EQ(show(a, playback), 0);
    ASSERT_TRUE(converter_.lastJob().deinterlace);
    for (int by = 0; by < 36; ++by)
      for (int bx = 0; bx < 44; ++bx)
        ASSERT_EQ(converter_.workPlane().motion(bx, by).staticCount, want_count[n])
            << "picture " << n << " block " << bx << "," << by;
  }
  // Still: every odd line is the picture's own (the average of two equal pixels).
  Planes g = a;
  std::fill(g.cb.begin(), g.cb.end(), 128);
  std::fill(g.cr.begin(), g.cr.end(), 128);
  ViewConverter grey;
  Bitmap grey_view(704, 576);
  for (int n = 0; n < 4; ++n) ASSERT_EQ(grey.convert(view_of(g), playback, grey_view), 0);
  for (int y = 1; y < 576; y += 2)
    for (int x = 0; x < 704; ++x) ASSERT_EQ(luma_of(grey_view.pixel(x, y)), g.Y(x, y));

  // A moving picture resets the blocks.
  ASSERT_EQ(show(random_planes(704, 576, 12), playback), 0);
  EXPECT_EQ(converter_.workPlane().motion(10, 10).staticCount, 0);
}

TEST_F(ViewConverterTest, MovingInterlacedPictureRebuildsOddLinesFromEvenOnes) {
  Planes g = random_planes(704, 576, 5);
  std::fill(g.cb.begin(), g.cb.end(), 128);
  std::fill(g.cr.begin(), g.cr.end(), 128);
  ASSERT_EQ(show(g, {2, true}), 0);
  int own = 0;
  for (int y = 1; y < 575; y += 2)
    for (int x = 0; x < 704; ++x) {
      EXPECT_EQ(luma_of(view_.pixel(x, y - 1)), g.Y(x, y - 1));
      own += luma_of(view_.pixel(x, y)) == g.Y(x, y);
    }
  EXPECT_LT(own, 704 * 287 / 20) << "odd lines should be rebuilt, not copied";
}

struct MotionCase {
  int delta;  // added to block (0, 0)'s even lines
  int count;  // its counter afterwards, from 2
};

// The tested sum is 64 samples of the even lines: 64 * D. Up to 1024 a still block stays
// still; D(a, b) for a < b is one less than the distance.
TEST(Deinterlace, StillBlockResetsOnlyAbove1024) {
  const MotionCase cases[] = {{11, 2}, {14, 2}, {16, 2}, {17, 0}, {-17, 2}, {-18, 0}};
  const Planes a = filled(704, 576, 100, 128, 128);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delta);
    ViewConverter conv;
    Bitmap view(704, 576);
    for (int n = 0; n < 4; ++n) ASSERT_EQ(conv.convert(view_of(a), {1, true}, view), 0);
    ASSERT_EQ(conv.workPlane().motion(0, 0).staticCount, 2);
    Planes b = a;
    for (int y = 0; y < 16; y += 2)
      for (int x = 0; x < 16; ++x) b.Y(x, y) = uint8_t(100 + c.delta);
    ASSERT_EQ(conv.convert(view_of(b), {1, true}, view), 0);
    EXPECT_EQ(conv.workPlane().motion(0, 0).staticCount, c.count);
    EXPECT_EQ(conv.workPlane().motion(1, 0).staticCount, 2);
  }
}

TEST(Deinterlace, CounterRisesOnlyBelow768) {
  ViewConverter conv;
  Bitmap view(704, 576);
  Planes p = filled(704, 576, 100, 128, 128);
  auto present = [&] { return conv.convert(view_of(p), {1, true}, view); };
  auto raise_even_lines = [&](int by) {
    for (int y = 0; y < 16; y += 2)
      for (int x = 0; x < 16; ++x) p.Y(x, y) = uint8_t(p.Y(x, y) + by);
  };
  ASSERT_EQ(present(), 0);
  ASSERT_EQ(present(), 0);  // still, but the first picture's odd sum is still counted
  ASSERT_EQ(conv.workPlane().motion(0, 0).staticCount, 0);
  raise_even_lines(12);  // tested sum 768: not below
  ASSERT_EQ(present(), 0);
  EXPECT_EQ(conv.workPlane().motion(0, 0).staticCount, 0);
  raise_even_lines(11);  // 704
  ASSERT_EQ(present(), 0);
  EXPECT_EQ(conv.workPlane().motion(0, 0).staticCount, 1);
  ASSERT_EQ(present(), 0);
  EXPECT_EQ(conv.workPlane().motion(0, 0).staticCount, 2);
}

// Four output rows share one chroma row: every other one of the picture's chroma rows, or
// each in turn when the lines are doubled.
TEST_F(ViewConverterTest, ChromaRowPerFourOutputRows) {
  for (const int h : {576, 288}) {
    SCOPED_TRACE(h);
    Planes p = filled(704, h, 128, 0, 128);
    for (int r = 0; r < h / 2; ++r)
      for (int c = 0; c < 352; ++c) p.Cb(c, r) = uint8_t(128 + (r % 60));
    ASSERT_EQ(show(p), 0);
    const bool doubled = h == 288;
    ASSERT_EQ(converter_.lastJob().lineDoubling, doubled);
    for (int y = 0; y < 576; ++y) {
      const int chroma_row = doubled ? y / 4 : (y / 4) * 2;
      const int cb = 128 + (chroma_row % 60);
      const uint32_t blue = uint32_t(std::clamp(128 + ((516 * cb) >> 8) - 258, 0, 255));
      ASSERT_EQ(view_.pixel(100, y) & 0xFF, blue) << "row " << y;
    }
  }
}

TEST_F(ViewConverterTest, SimdAndScalarDrawTheSamePixels) {
  if (!sse2_available()) GTEST_SKIP() << "no SSE2";
  const struct {
    int w, h;
    PictureContext context;
  } cases[] = {{704, 576, {}}, {704, 576, {1, true}}, {704, 288, {}},
               {352, 288, {}}, {320, 240, {}},        {640, 480, {}}};
  uint32_t seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h);
    const Planes p = random_planes(c.w, c.h, seed++);
    ViewConverter scalar, simd;
    scalar.set_simd(false);
    simd.set_simd(true);
    Bitmap a(704, 576), b(704, 576);
    ASSERT_EQ(scalar.convert(view_of(p), c.context, a), 0);
    ASSERT_EQ(simd.convert(view_of(p), c.context, b), 0);
    ASSERT_TRUE(std::equal(a.data(), a.data() + 704 * 576, b.data()));
  }
}

TEST_F(ViewConverterTest, PicturesItCannotShowLeaveTheViewAlone) {
  const Planes grey = filled(704, 576, 128, 128, 128);
  EXPECT_EQ(show(grey, {3, false}), -1) << "setup mode";
  DecodedPicture empty = view_of(grey);
  empty.width = 0;
  EXPECT_EQ(converter_.convert(empty, {}, view_), -1);
  EXPECT_EQ(show(filled(720, 576, 128, 128, 128)), -1) << "wider than the view";
  EXPECT_EQ(show(filled(704, 608, 128, 128, 128)), -1) << "taller than the view";
  for (int y = 0; y < 576; ++y)
    for (int x = 0; x < 704; ++x) ASSERT_EQ(view_.pixel(x, y), kSentinel);
  Bitmap none;
  EXPECT_EQ(converter_.convert(view_of(grey), {}, none), -1);
}

TEST_F(ViewConverterTest, SmallerBitmapIsDrawnOnlyWhereItExists) {
  Bitmap small(650, 500);
  small.fill(kSentinel);
  ASSERT_EQ(converter_.convert(view_of(filled(640, 480, 128, 128, 128)), {}, small), 0);
  // The view rounds to 652 x 504: the picture is centred in that and clipped to the bitmap.
  EXPECT_EQ(small.pixel(0, 0), kFrameColour);
  EXPECT_EQ(small.pixel(5, 12), kFrameColour);
  EXPECT_EQ(small.pixel(6, 12), 0x00808080u);
  EXPECT_EQ(small.pixel(645, 491), 0x00808080u);
  EXPECT_EQ(small.pixel(646, 491), kFrameColour);
  EXPECT_EQ(small.pixel(645, 492), kFrameColour);
  EXPECT_EQ(small.pixel(649, 499), kFrameColour);
}

TEST(VideoView, SetupAndPresentationGoThroughTheImageControl) {
  platform::Form form;
  static const platform::ComponentSpec kSpecs[] = {
      {"Image_video", platform::ComponentKind::Image, "", {0, 0, 704, 576}},
  };
  form.build(kSpecs, std::size(kSpecs));
  auto& image = form["Image_video"];
  setupVideoView(image);
  EXPECT_EQ(image.picture().width(), 704);
  EXPECT_EQ(image.picture().height(), 576);
  EXPECT_FALSE(image.enabled());

  int repaints = 0;
  form.add_observer([&](platform::Component& c, platform::Property p) {
    repaints += &c == &image && p == platform::Property::Picture;
  });
  ViewConverter converter;
  const Planes grey = filled(704, 480, 128, 128, 128);
  EXPECT_EQ(converter.presentPicture(view_of(grey), {}, image), 0);
  EXPECT_EQ(repaints, 1);
  EXPECT_EQ(image.picture().pixel(0, 0), kFrameColour);
  EXPECT_EQ(image.picture().pixel(0, 48), 0x00808080u);
  EXPECT_EQ(converter.presentPicture(view_of(grey), {3, false}, image), -1);
  EXPECT_EQ(repaints, 1) << "no repaint for a picture not drawn";
}

}  // namespace
}  // namespace tessomar::video
