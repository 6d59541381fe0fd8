// A tiny built-in bitmap font for the simulated cameras' burnt-in text: the digits, '/', ':'
// and ' ', 5 x 7 pixels each, drawn in cells 6 pixels wide (one column of spacing).
#pragma once

#include <cstdint>

namespace tessomar::dvrsim {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kGlyphAdvance = 6;

// Row bits of a glyph, bit 4 the leftmost column.
struct Glyph {
  uint8_t rows[kGlyphHeight];
};

// The glyph of a character; characters outside the font draw as blank.
const Glyph& glyph_for(char c);

// Whether pixel (x, y) of a glyph is set; false outside the 5 x 7 box.
inline bool glyph_pixel(const Glyph& g, int x, int y) {
  if (x < 0 || x >= kGlyphWidth || y < 0 || y >= kGlyphHeight) return false;
  return ((g.rows[y] >> (kGlyphWidth - 1 - x)) & 1) != 0;
}

}  // namespace tessomar::dvrsim
