#include "dvrsim/scene.h"

#include <algorithm>
#include <cstddef>

#include "dvrsim/font.h"

namespace tessomar::dvrsim {
namespace {

// A tile of the picture in picture coordinates; drawing is clipped to it and placed
// relative to its top-left corner.
struct Tile {
  int x0, y0, x1, y1;
  int width() const { return x1 - x0; }
  int height() const { return y1 - y0; }
};

// Fills a rectangle given in tile coordinates. A chroma sample belongs to the rectangle when
// the luma pixel at its top-left does.
void fill_rect(I420Image& img, const Tile& t, int x, int y, int w, int h, Yuv c) {
  int ax0 = std::max(t.x0 + x, t.x0), ax1 = std::min(t.x0 + x + w, t.x1);
  int ay0 = std::max(t.y0 + y, t.y0), ay1 = std::min(t.y0 + y + h, t.y1);
  if (ax0 >= ax1 || ay0 >= ay1) return;
  for (int row = ay0; row < ay1; ++row) {
    std::fill_n(img.y.begin() + std::ptrdiff_t(row) * img.width + ax0, ax1 - ax0, c.y);
  }
  const int cw = img.chroma_width();
  for (int row = (ay0 + 1) / 2; row < (ay1 + 1) / 2; ++row) {
    const std::ptrdiff_t at = std::ptrdiff_t(row) * cw + (ax0 + 1) / 2;
    const int n = (ax1 + 1) / 2 - (ax0 + 1) / 2;
    std::fill_n(img.u.begin() + at, n, c.u);
    std::fill_n(img.v.begin() + at, n, c.v);
  }
}

// Text in a box of background colour: (length * 6 + 1) x 9 cells of scale x scale pixels.
void draw_text(I420Image& img, const Tile& t, int x, int y, int scale, const char* text, Yuv fg,
               Yuv bg) {
  int len = 0;
  while (text[len] != '\0') ++len;
  fill_rect(img, t, x, y, (len * kGlyphAdvance + 1) * scale, (kGlyphHeight + 2) * scale, bg);
  for (int i = 0; i < len; ++i) {
    const Glyph& g = glyph_for(text[i]);
    const int gx0 = x + (1 + i * kGlyphAdvance) * scale;
    for (int gy = 0; gy < kGlyphHeight; ++gy) {
      for (int gx = 0; gx < kGlyphWidth; ++gx) {
        if (glyph_pixel(g, gx, gy)) {
          fill_rect(img, t, gx0 + gx * scale, y + (1 + gy) * scale, scale, scale, fg);
        }
      }
    }
  }
}

// Scrolling diagonal ramps: luma and both chroma planes change from frame to frame.
void draw_background(I420Image& img, const Tile& t, uint32_t phase) {
  const int shift = int((phase * 3) & 127);
  for (int row = t.y0; row < t.y1; ++row) {
    uint8_t* line = img.y.data() + std::ptrdiff_t(row) * img.width;
    const int ly = row - t.y0;
    for (int col = t.x0; col < t.x1; ++col) {
      line[col] = uint8_t(40 + ((col - t.x0 + ly + shift) & 127));
    }
  }
  const int cw = img.chroma_width();
  for (int crow = (t.y0 + 1) / 2; crow < (t.y1 + 1) / 2; ++crow) {
    const int ly = 2 * crow - t.y0;
    for (int ccol = (t.x0 + 1) / 2; ccol < (t.x1 + 1) / 2; ++ccol) {
      const int lx = 2 * ccol - t.x0;
      img.u[size_t(crow) * cw + ccol] = uint8_t(112 + ((lx + int(phase)) & 31));
      img.v[size_t(crow) * cw + ccol] = uint8_t(112 + ((ly + 2 * int(phase)) & 31));
    }
  }
}

bool blank(const uint8_t* bitmap) {
  if (bitmap == nullptr) return true;
  for (size_t i = 0; i < kTitleBitmapBytes; ++i) {
    if (bitmap[i] != 0) return false;
  }
  return true;
}

// The title bitmap scaled into its box: a black box, then white luma where the nearest source
// pixel is set (black and white share their chroma, so chroma needs no second pass).
void draw_title(I420Image& img, const Tile& t, const uint8_t* bitmap) {
  const TitleBox box = title_box(t.width(), t.height());
  fill_rect(img, t, box.x, box.y, box.width, box.height, kBlack);
  constexpr int kRowBytes = kTitleBitmapWidth / 8;
  for (int ty = 0; ty < box.height; ++ty) {
    const int row = t.y0 + box.y + ty;
    if (row < t.y0 || row >= t.y1) continue;
    const uint8_t* src = bitmap + size_t(ty * kTitleBitmapHeight / box.height) * kRowBytes;
    uint8_t* line = img.y.data() + std::ptrdiff_t(row) * img.width;
    for (int tx = 0; tx < box.width; ++tx) {
      const int col = t.x0 + box.x + tx;
      if (col >= t.x1) break;
      const int sx = tx * kTitleBitmapWidth / box.width;
      // Little-endian words with pixel k in bit k: bit (sx % 8) of byte sx / 8.
      if ((src[sx / 8] >> (sx % 8)) & 1) line[col] = kWhite.y;
    }
  }
}

void render_tile(I420Image& img, const Tile& t, uint32_t channel, uint32_t device_time,
                 uint32_t frame_in_second, const ChannelTitles* titles) {
  const int w = t.width(), h = t.height();
  // Frames counted through an hour; frame_in_second stays below 32 at any frame rate.
  const uint32_t phase = (device_time % 3600) * 32 + (frame_in_second & 31);
  draw_background(img, t, phase);

  const int band = band_height(h);
  fill_rect(img, t, 0, 0, w, band, band_colour(channel));
  const int band_scale = std::max(1, (band - 4) / (kGlyphHeight + 2));
  const uint8_t* title = titles ? titles->bitmaps[channel & 15] : nullptr;
  if (!blank(title)) {
    draw_title(img, t, title);
  } else {
    char number[3] = {char('0' + (channel + 1) / 10 % 10), char('0' + (channel + 1) % 10), 0};
    draw_text(img, t, 2, std::max(0, (band - (kGlyphHeight + 2) * band_scale) / 2), band_scale,
              number, kWhite, kBlack);
  }

  const int scale = std::max(1, h / 144);
  std::array<char, 24> line{};
  const std::array<char, 20> time = device_time_text(device_time);
  std::copy(time.begin(), time.end() - 1, line.begin());
  line[19] = ' ';
  line[20] = char('0' + frame_in_second / 10 % 10);
  line[21] = char('0' + frame_in_second % 10);
  line[22] = 0;
  const int text_y = band + 2 * scale;
  draw_text(img, t, 2 * scale, text_y, scale, line.data(), kWhite, kBlack);

  // A square that bounces left and right, on a row that depends on the channel.
  const int side = std::max(8, h / 6) & ~1;
  const int travel = std::max(1, w - side);
  const int speed = std::max(1, w / 176);
  const int pos = int((uint64_t(phase) * uint64_t(speed)) % uint64_t(2 * travel));
  const int x = pos < travel ? pos : 2 * travel - pos;
  const int top = text_y + (kGlyphHeight + 2) * scale + 4;
  const int span = std::max(0, h - side - top);
  const int y = top + int(channel % 4) * span / 3;
  fill_rect(img, t, x, y, side, side, kWhite);
  fill_rect(img, t, x + side / 4, y + side / 4, side / 2, side / 2, band_colour(channel));
}

}  // namespace

void I420Image::resize(int w, int h) {
  width = w;
  height = h;
  y.resize(size_t(w) * size_t(h));
  u.resize(size_t(chroma_width()) * size_t(chroma_height()));
  v.resize(u.size());
}

TitleBox title_box(int width, int height) {
  const int band = band_height(height);
  // The bitmap's 8:1 shape, as tall as the band allows but kept in the band's left half.
  int h = std::max(2, band - 4);
  int w = h * kTitleBitmapWidth / kTitleBitmapHeight;
  if (w > width / 2 - 4) {
    w = std::max(8, width / 2 - 4);
    h = std::max(1, w * kTitleBitmapHeight / kTitleBitmapWidth);
  }
  return {2, std::max(0, (band - h) / 2), w, h};
}

void render_scene(I420Image& out, uint32_t channel, uint32_t device_time, uint32_t frame_in_second,
                  int width, int height, const ChannelTitles* titles) {
  out.resize(width, height);
  render_tile(out, Tile{0, 0, width, height}, channel, device_time, frame_in_second, titles);
}

void render_composite(I420Image& out, uint32_t layout, uint32_t first_channel,
                      uint32_t channel_count, uint32_t device_time, uint32_t frame_in_second,
                      int width, int height, const ChannelTitles* titles) {
  out.resize(width, height);
  const int n = layout == 4 ? 2 : layout == 9 ? 3 : 4;
  const uint32_t limit = std::min<uint32_t>(channel_count, 16);
  for (int i = 0; i < n * n; ++i) {
    const int row = i / n, col = i % n;
    const Tile t{col * width / n, row * height / n, (col + 1) * width / n, (row + 1) * height / n};
    const uint32_t channel = first_channel + uint32_t(i);
    if (channel < limit) {
      render_tile(out, t, channel, device_time, frame_in_second, titles);
    } else {
      fill_rect(out, t, 0, 0, t.width(), t.height(), kBlack);
    }
  }
}

std::array<char, 20> device_time_text(uint32_t device_time) {
  // The DVR's calendar: a year index divisible by 4 and not by 100 is a leap year, so 2000
  // itself counts as a common year; the same date the control's time label shows.
  static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  auto leap = [](int index) { return index % 4 == 0 && index % 100 != 0; };
  const uint32_t secs = device_time % 86400;
  uint32_t days = device_time / 86400;
  int year = 2000;
  for (;;) {
    const uint32_t len = leap(year - 2000) ? 366 : 365;
    if (days < len) break;
    days -= len;
    ++year;
  }
  int month = 1;
  for (int m = 0; m < 12; ++m) {
    const uint32_t len = uint32_t(kMonthDays[m] + (m == 1 && leap(year - 2000) ? 1 : 0));
    if (days < len) break;
    days -= len;
    ++month;
  }
  const int day = int(days) + 1;

  std::array<char, 20> s{};
  auto put = [&s](int at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
      s[size_t(at + i)] = char('0' + value % 10);
      value /= 10;
    }
  };
  put(0, year, 4);
  s[4] = '/';
  put(5, month, 2);
  s[7] = '/';
  put(8, day, 2);
  s[10] = ' ';
  put(11, int(secs / 3600), 2);
  s[13] = ':';
  put(14, int(secs / 60 % 60), 2);
  s[16] = ':';
  put(17, int(secs % 60), 2);
  s[19] = 0;
  return s;
}

}  // namespace tessomar::dvrsim
