// An RGBA drawing surface for the skin's artwork: anti-aliased shapes by supersampling and
// text through FreeType. Colours are straight (not premultiplied) 0..1 floats.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace skinbuilder {

struct Rgba {
  float r = 0, g = 0, b = 0, a = 0;
};

// "#rrggbb" or "#rrggbbaa".
Rgba parse_colour(std::string_view text, bool& ok);
Rgba rgb(uint32_t rrggbb, float alpha = 1.0f);
Rgba mix(Rgba a, Rgba b, float t);

struct Point {
  float x = 0, y = 0;
};

class Font;

class Canvas {
 public:
  Canvas() = default;
  Canvas(int width, int height) { resize(width, height); }

  void resize(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }
  const Rgba& at(int x, int y) const { return pixels_[size_t(y) * width_ + x]; }
  Rgba& at(int x, int y) { return pixels_[size_t(y) * width_ + x]; }

  void clear(Rgba colour);
  // Source-over with a coverage factor.
  void blend(int x, int y, Rgba colour, float coverage);

  // Shapes by an inside test, 4 x 4 samples per pixel, within the bounding box given.
  void fill_shape(float x0, float y0, float x1, float y1, Rgba colour,
                  const std::function<bool(float, float)>& inside);
  void fill_rect(float x, float y, float w, float h, Rgba colour);
  void fill_round_rect(float x, float y, float w, float h, float radius, Rgba colour);
  // A ring of the given width along the inside of a rounded rectangle.
  void stroke_round_rect(float x, float y, float w, float h, float radius, float width,
                         Rgba colour);
  void fill_circle(float cx, float cy, float radius, Rgba colour);
  void fill_polygon(const std::vector<Point>& points, Rgba colour);
  void stroke_line(Point a, Point b, float width, Rgba colour);

  // Text with its left end at x and its baseline at y; returns the advance.
  float draw_text(const Font& font, std::string_view text, float x, float baseline, Rgba colour);
  // Text centred in a box, vertically by the font's cap height.
  void draw_text_in(const Font& font, std::string_view text, float x, float y, float w, float h,
                    Rgba colour, int align /* -1 left, 0 centre, 1 right */);

  // Copies another canvas in (source-over).
  void draw_canvas(const Canvas& src, int x, int y);

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<Rgba> pixels_;
};

// One face of the DejaVu Sans family found through fontconfig, at one pixel size.
class Font {
 public:
  // Looks the family up with fontconfig ("DejaVu Sans", bold or not); false with a reason
  // when no such font is installed.
  static bool find_file(bool bold, std::string& path, std::string& error);

  Font() = default;
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  bool open(const std::string& path, int pixel_size, std::string& error);

  float measure(std::string_view text) const;
  float cap_height() const { return cap_height_; }
  // Renders one character's coverage; calls plot(x, y, coverage) relative to the pen at
  // (pen_x, baseline) and returns the advance.
  float render(uint32_t code, float pen_x, float baseline,
               const std::function<void(int, int, float)>& plot) const;
  float kerning(uint32_t left, uint32_t right) const;

 private:
  void* library_ = nullptr;  // FT_Library
  void* face_ = nullptr;     // FT_Face
  float cap_height_ = 0;
};

// The UTF-8 text as code points.
std::vector<uint32_t> decode_utf8(std::string_view text);

}  // namespace skinbuilder
