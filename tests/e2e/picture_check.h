// Reading the CLI's video snapshots back with ffmpeg and naming the simulator channel a pixel
// shows by its band colour.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dvrsim/font.h"
#include "dvrsim/scene.h"

namespace tessomar::e2e {

struct Rgb24 {
  int width = 704, height = 576;
  std::vector<uint8_t> data;
  dvrsim::Rgb at(int x, int y) const {
    size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3;
    return {data[i], data[i + 1], data[i + 2]};
  }
};

// Decodes a 704 x 576 PNG with ffmpeg, an outside reader of the file.
inline bool read_png(const std::string& png, Rgb24& out) {
  std::string raw = png + ".rgb";
  std::string cmd =
      "ffmpeg -y -loglevel error -i '" + png + "' -f rawvideo -pix_fmt rgb24 '" + raw + "' 2>&1";
  if (std::system(cmd.c_str()) != 0) return false;
  std::ifstream in(raw, std::ios::binary);
  out.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::remove(raw.c_str());
  return out.data.size() == size_t(out.width) * size_t(out.height) * 3;
}

// The channel whose band colour is nearest to the pixel.
inline int nearest_channel(dvrsim::Rgb c) {
  int best = -1, best_d = 1 << 30;
  for (int ch = 0; ch < 16; ++ch) {
    const dvrsim::Rgb& b = dvrsim::kBandColours[size_t(ch)];
    int d = (c.r - b.r) * (c.r - b.r) + (c.g - b.g) * (c.g - b.g) + (c.b - b.b) * (c.b - b.b);
    if (d < best_d) {
      best_d = d;
      best = ch;
    }
  }
  return best;
}

// The device time the simulator burnt into a full-size single-channel picture, as
// "YYYY/MM/DD hh:mm:ss", read glyph by glyph from the centres of the font's pixel blocks; empty
// when a character matches no glyph.
inline std::string burnt_in_time(const Rgb24& img) {
  const int scale = img.height / 144;
  const int top = dvrsim::band_height(img.height) + 2 * scale + scale;
  const std::string alphabet = "0123456789/: ";
  std::string text;
  for (int i = 0; i < 19; ++i) {
    const int left = 2 * scale + (1 + i * dvrsim::kGlyphAdvance) * scale;
    char found = 0;
    for (char c : alphabet) {
      const dvrsim::Glyph& g = dvrsim::glyph_for(c);
      bool same = true;
      for (int gy = 0; gy < dvrsim::kGlyphHeight && same; ++gy) {
        for (int gx = 0; gx < dvrsim::kGlyphWidth && same; ++gx) {
          const dvrsim::Rgb p = img.at(left + gx * scale + scale / 2, top + gy * scale + scale / 2);
          const bool lit = p.r + p.g + p.b > 3 * 128;
          same = lit == dvrsim::glyph_pixel(g, gx, gy);
        }
      }
      if (same) {
        found = c;
        break;
      }
    }
    if (found == 0) return "";
    text += found;
  }
  return text;
}

}  // namespace tessomar::e2e
