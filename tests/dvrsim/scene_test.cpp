#include "dvrsim/scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace tessomar::dvrsim {
namespace {

TEST(DvrsimDeviceTimeText, CalendarFromSeconds) {
  struct Case {
    uint32_t t;
    const char* text;
  };
  // The DVR's calendar, on which 2000 is a common year (the control's time label agrees).
  const Case cases[] = {
      {0, "2000/01/01 00:00:00"},         {5097600, "2000/03/01 00:00:00"},
      {31536000, "2001/01/01 00:00:00"},  {131284800, "2004/02/29 12:00:00"},
      {770000000, "2024/05/27 00:53:20"},
  };
  for (const Case& c : cases) EXPECT_EQ(std::string(device_time_text(c.t).data()), c.text);
}

TEST(DvrsimBandColours, DistinctPerChannel) {
  for (uint32_t a = 0; a < 16; ++a) {
    for (uint32_t b = a + 1; b < 16; ++b) {
      const Yuv x = band_colour(a), y = band_colour(b);
      const int d = std::abs(x.y - y.y) + std::abs(x.u - y.u) + std::abs(x.v - y.v);
      EXPECT_GE(d, 20) << a << " vs " << b;
    }
  }
  EXPECT_EQ(band_height(576), 48);
  EXPECT_EQ(band_height(480), 40);
  EXPECT_EQ(band_height(288), 24);
}

// Whether every sample of the right half of the band holds the channel's colour.
bool band_is_plain(const I420Image& img, int x0, int y0, int w, int h, uint32_t channel) {
  const Yuv c = band_colour(channel);
  const int band = band_height(h);
  for (int y = y0; y < y0 + band; ++y) {
    for (int x = x0 + w / 2; x < x0 + w; ++x) {
      if (img.y[size_t(y) * size_t(img.width) + size_t(x)] != c.y) return false;
    }
  }
  for (int y = (y0 + 1) / 2; y < (y0 + band) / 2; ++y) {
    for (int x = (x0 + w / 2 + 1) / 2; x < (x0 + w) / 2; ++x) {
      const size_t at = size_t(y) * size_t(img.chroma_width()) + size_t(x);
      if (img.u[at] != c.u || img.v[at] != c.v) return false;
    }
  }
  return true;
}

bool same_picture(const I420Image& a, const I420Image& b) {
  return a.width == b.width && a.height == b.height && a.y == b.y && a.u == b.u && a.v == b.v;
}

TEST(DvrsimScene, DeterministicAndMoving) {
  I420Image a, b;
  render_scene(a, 6, 770000000, 3, 704, 576);
  render_scene(b, 6, 770000000, 3, 704, 576);
  EXPECT_TRUE(same_picture(a, b));
  EXPECT_TRUE(band_is_plain(a, 0, 0, 704, 576, 6));

  struct Change {
    uint32_t channel, time, frame;
  };
  const Change changes[] = {{6, 770000000, 4}, {6, 770000001, 3}, {7, 770000000, 3}};
  for (const Change& c : changes) {
    render_scene(b, c.channel, c.time, c.frame, 704, 576);
    EXPECT_FALSE(same_picture(a, b)) << c.channel << " " << c.time << " " << c.frame;
  }
  // Only the time and the moving content change below the band between two seconds: the
  // band itself stays the same.
  render_scene(b, 6, 770000001, 3, 704, 576);
  const size_t band_bytes = size_t(band_height(576)) * 704;
  EXPECT_TRUE(std::equal(a.y.begin(), a.y.begin() + ptrdiff_t(band_bytes), b.y.begin()));
}

TEST(DvrsimComposite, FourWayTilesAreTheChannelsPictures) {
  I420Image all, tile;
  render_composite(all, 4, 4, 16, 770000000, 10, 704, 576);
  for (int i = 0; i < 4; ++i) {
    render_scene(tile, 4 + uint32_t(i), 770000000, 10, 352, 288);
    const int x0 = (i % 2) * 352, y0 = (i / 2) * 288;
    bool same = true;
    for (int y = 0; y < 288 && same; ++y) {
      same = std::equal(tile.y.begin() + y * 352, tile.y.begin() + (y + 1) * 352,
                        all.y.begin() + (y0 + y) * 704 + x0);
    }
    for (int y = 0; y < 144 && same; ++y) {
      same = std::equal(tile.u.begin() + y * 176, tile.u.begin() + (y + 1) * 176,
                        all.u.begin() + (y0 / 2 + y) * 352 + x0 / 2) &&
             std::equal(tile.v.begin() + y * 176, tile.v.begin() + (y + 1) * 176,
                        all.v.begin() + (y0 / 2 + y) * 352 + x0 / 2);
    }
    EXPECT_TRUE(same) << "tile " << i;
  }
}

TEST(DvrsimComposite, NineWayWithFewerChannelsBlanksTheRest) {
  I420Image img;
  render_composite(img, 9, 0, 4, 770000000, 0, 704, 576);
  for (int i = 0; i < 9; ++i) {
    const int x0 = (i % 3) * 704 / 3, x1 = (i % 3 + 1) * 704 / 3;
    const int y0 = (i / 3) * 576 / 3, y1 = (i / 3 + 1) * 576 / 3;
    if (i < 4) {
      EXPECT_TRUE(band_is_plain(img, x0, y0, x1 - x0, y1 - y0, uint32_t(i))) << i;
      continue;
    }
    bool black = true;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) black = black && img.y[size_t(y) * 704 + size_t(x)] == 16;
    }
    EXPECT_TRUE(black) << "tile " << i;
  }
}

}  // namespace
}  // namespace tessomar::dvrsim
