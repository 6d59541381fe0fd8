// Text drawn with a font found through fontconfig and rasterised by FreeType, one-bit (no
// smoothing) so that what is drawn is exactly what a one-bit picture can hold. Code-page
// texts are converted with iconv.
//
//   TextFace face;
//   face.open({"DejaVu Sans", true, false});   // bold
//   face.set_points(24);
//   TextExtent e = face.measure(text);          // advance width, cell height
//   face.draw(bitmap, x, y, text, 0x000000);    // cell's top-left corner at (x, y)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bitmap.h"

namespace tessomar::platform {

struct FontRequest {
  std::string family;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikeout = false;
  bool operator==(const FontRequest&) const = default;
};

// The fontconfig pattern of a request ("DejaVu Sans:weight=200:slant=100"), and back: a
// pattern "Family:style" where style words are bold, italic (or oblique), underline,
// strikeout, regular, separated by ':' or ' '. Nothing when the family is empty or a style
// word is unknown.
std::string font_pattern(const FontRequest& request);
std::optional<FontRequest> parse_font_pattern(std::string_view pattern);

struct TextExtent {
  int width = 0;   // sum of the advances
  int height = 0;  // ascent + descent of the face at its size
};

class TextFace {
 public:
  TextFace();
  ~TextFace();
  TextFace(const TextFace&) = delete;
  TextFace& operator=(const TextFace&) = delete;

  // Matches the request through fontconfig and loads the best face. False (the previous
  // face kept) when nothing loads.
  bool open(const FontRequest& request);
  bool is_open() const;
  // The file of the face in use and its family as fontconfig named it.
  const std::string& file() const { return file_; }
  const std::string& family() const { return family_; }

  // Points at 96 dots per inch; clamped to 1..1000.
  void set_points(int points);
  int points() const { return points_; }

  TextExtent measure(std::u32string_view text);
  // The height measure() gives any text (ascent + descent at the current size), without
  // loading a glyph.
  int line_height() const;
  // Draws the text with the top-left corner of its cell at (x, y), clipped to the bitmap.
  void draw(Bitmap& bitmap, int x, int y, std::u32string_view text, uint32_t colour);

 private:
  struct State;
  std::unique_ptr<State> state_;
  FontRequest request_;
  std::string file_;
  std::string family_;
  int points_ = 12;
};

// Converts between UTF-8 and a code page known to iconv ("CP1252", "CP950", ...). Encoding
// fails (nothing) when a character has no place in the code page or the input is not valid
// UTF-8; decoding drops bytes that do not convert.
std::optional<std::string> utf8_to_code_page(std::string_view utf8, const char* code_page);
std::string code_page_to_utf8(std::string_view bytes, const char* code_page);
std::u32string utf8_to_utf32(std::string_view utf8);

}  // namespace tessomar::platform
