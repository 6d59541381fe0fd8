// The simulated cameras' pictures. Each channel shows, from the top:
//   - a band of band_height(h) rows in the channel's colour (kBandColours), with the channel
//     number (channel + 1, two digits) in a black box at its left; the right half of the band
//     is always plain colour, so a decoded picture can be checked against band_colour();
//   - the device time "YYYY/MM/DD HH:MM:SS" and the frame in the second, white on black;
//   - a background of diagonal ramps that scroll with every frame, and a white square that
//     moves across the picture (real motion for the encoder).
// A picture is a pure function of (channel, device time, frame in second, size).
//
// The composite picture of channel 16 tiles 4, 9 or 16 channel pictures (2x2, 3x3, 4x4),
// each rendered at its tile's size; tiles past the last channel are black.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessomar::dvrsim {

// A 4:2:0 picture with tight rows: luma stride `width`, chroma stride chroma_width().
struct I420Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;

  int chroma_width() const { return (width + 1) / 2; }
  int chroma_height() const { return (height + 1) / 2; }
  // Sizes the planes; keeps their storage when the size is unchanged.
  void resize(int w, int h);
};

struct Rgb {
  uint8_t r, g, b;
};
struct Yuv {
  uint8_t y, u, v;
};

// The colour band of each camera channel (index = channel 0 to 15).
inline constexpr std::array<Rgb, 16> kBandColours = {{
    {230, 25, 75},    // red
    {60, 180, 75},    // green
    {255, 225, 25},   // yellow
    {0, 130, 200},    // blue
    {245, 130, 48},   // orange
    {145, 30, 180},   // purple
    {70, 240, 240},   // cyan
    {240, 50, 230},   // magenta
    {210, 245, 60},   // lime
    {250, 190, 212},  // pink
    {0, 128, 128},    // teal
    {220, 190, 255},  // lavender
    {170, 110, 40},   // brown
    {128, 0, 0},      // maroon
    {128, 128, 0},    // olive
    {0, 0, 128},      // navy
}};

// BT.601 limited-range conversion, as the picture stores colours.
constexpr Yuv rgb_to_yuv(Rgb c) {
  int r = c.r, g = c.g, b = c.b;
  return {uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16),
          uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128),
          uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128)};
}

// The band colour of channel (channel & 15), as stored in the picture.
constexpr Yuv band_colour(uint32_t channel) { return rgb_to_yuv(kBandColours[channel & 15]); }

// Rows of the colour band in a picture (or tile) of `height` rows: height / 12, even
// (48 at 576, 40 at 480, 24 at 288).
constexpr int band_height(int height) { return (height / 12) & ~1; }

inline constexpr Yuv kBlack = {16, 128, 128};
inline constexpr Yuv kWhite = {235, 128, 128};

// Channel titles the DVR draws in place of the band's channel number: per channel a one-bit
// bitmap of kTitleBitmapWidth x kTitleBitmapHeight pixels, rows of 14 little-endian 32-bit
// words, pixel k of a group of 32 in bit k, a set bit is text. A null or blank bitmap keeps
// the number. The bitmaps must outlive the rendering that uses them.
inline constexpr int kTitleBitmapWidth = 448;
inline constexpr int kTitleBitmapHeight = 56;
inline constexpr size_t kTitleBitmapBytes = kTitleBitmapWidth / 8 * kTitleBitmapHeight;
struct ChannelTitles {
  std::array<const uint8_t*, 16> bitmaps{};
};

// Renders camera channel 0 to 15 at width x height into `out`; with titles, the channel's title
// (white on a black box at the band's left, scaled to the band) replaces its number.
void render_scene(I420Image& out, uint32_t channel, uint32_t device_time, uint32_t frame_in_second,
                  int width, int height, const ChannelTitles* titles = nullptr);

// Renders the split picture of `layout` (4, 9 or 16; anything else counts as 16) tiles
// showing channels first_channel, first_channel + 1, ... in rows; a tile whose channel is not
// below channel_count (or above 15) is black.
void render_composite(I420Image& out, uint32_t layout, uint32_t first_channel,
                      uint32_t channel_count, uint32_t device_time, uint32_t frame_in_second,
                      int width, int height, const ChannelTitles* titles = nullptr);

// Where the title of a channel is drawn in a picture (or tile) of width x height: a box of
// title_box_height rows from (2, title_box_top) and title_box_width columns.
struct TitleBox {
  int x, y, width, height;
};
TitleBox title_box(int width, int height);

// "YYYY/MM/DD HH:MM:SS" of a device time (seconds since 2000-01-01 00:00:00).
std::array<char, 20> device_time_text(uint32_t device_time);

}  // namespace tessomar::dvrsim
