#include "canvas.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>

namespace skinbuilder {

namespace {

constexpr int kSamples = 4;  // per axis

float clamp01(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Inside a rounded rectangle (corner radius r).
bool in_round_rect(float px, float py, float x, float y, float w, float h, float r) {
  if (px < x || py < y || px >= x + w || py >= y + h) return false;
  float cx = std::clamp(px, x + r, x + w - r);
  float cy = std::clamp(py, y + r, y + h - r);
  float dx = px - cx, dy = py - cy;
  return dx * dx + dy * dy <= r * r;
}

}  // namespace

Rgba parse_colour(std::string_view text, bool& ok) {
  ok = false;
  if (text.empty() || text[0] != '#' || (text.size() != 7 && text.size() != 9)) return {};
  int v[4] = {0, 0, 0, 255};
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int hi = hex_digit(text[i + 1]), lo = hex_digit(text[i + 2]);
    if (hi < 0 || lo < 0) return {};
    v[i / 2] = hi * 16 + lo;
  }
  ok = true;
  return {float(v[0]) / 255.0f, float(v[1]) / 255.0f, float(v[2]) / 255.0f, float(v[3]) / 255.0f};
}

Rgba rgb(uint32_t rrggbb, float alpha) {
  return {float((rrggbb >> 16) & 0xFF) / 255.0f, float((rrggbb >> 8) & 0xFF) / 255.0f,
          float(rrggbb & 0xFF) / 255.0f, alpha};
}

Rgba mix(Rgba a, Rgba b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
          a.a + (b.a - a.a) * t};
}

void Canvas::resize(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  pixels_.assign(size_t(width_) * size_t(height_), Rgba{});
}

void Canvas::clear(Rgba colour) { std::fill(pixels_.begin(), pixels_.end(), colour); }

void Canvas::blend(int x, int y, Rgba c, float coverage) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  float sa = clamp01(c.a * coverage);
  if (sa <= 0) return;
  Rgba& d = at(x, y);
  float out_a = sa + d.a * (1 - sa);
  if (out_a <= 0) return;
  d.r = (c.r * sa + d.r * d.a * (1 - sa)) / out_a;
  d.g = (c.g * sa + d.g * d.a * (1 - sa)) / out_a;
  d.b = (c.b * sa + d.b * d.a * (1 - sa)) / out_a;
  d.a = out_a;
}

void Canvas::fill_shape(float x0, float y0, float x1, float y1, Rgba colour,
                        const std::function<bool(float, float)>& inside) {
  int ix0 = std::max(0, int(std::floor(x0))), iy0 = std::max(0, int(std::floor(y0)));
  int ix1 = std::min(width_, int(std::ceil(x1))), iy1 = std::min(height_, int(std::ceil(y1)));
  for (int y = iy0; y < iy1; ++y) {
    for (int x = ix0; x < ix1; ++x) {
      int hits = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          float px = float(x) + (float(sx) + 0.5f) / kSamples;
          float py = float(y) + (float(sy) + 0.5f) / kSamples;
          if (inside(px, py)) ++hits;
        }
      }
      if (hits) blend(x, y, colour, float(hits) / (kSamples * kSamples));
    }
  }
}

void Canvas::fill_rect(float x, float y, float w, float h, Rgba colour) {
  fill_shape(x, y, x + w, y + h, colour,
             [&](float px, float py) { return px >= x && py >= y && px < x + w && py < y + h; });
}

void Canvas::fill_round_rect(float x, float y, float w, float h, float radius, Rgba colour) {
  fill_shape(x, y, x + w, y + h, colour,
             [&](float px, float py) { return in_round_rect(px, py, x, y, w, h, radius); });
}

void Canvas::stroke_round_rect(float x, float y, float w, float h, float radius, float width,
                               Rgba colour) {
  float r2 = std::max(0.0f, radius - width);
  fill_shape(x, y, x + w, y + h, colour, [&](float px, float py) {
    return in_round_rect(px, py, x, y, w, h, radius) &&
           !in_round_rect(px, py, x + width, y + width, w - 2 * width, h - 2 * width, r2);
  });
}

void Canvas::fill_circle(float cx, float cy, float radius, Rgba colour) {
  fill_shape(cx - radius, cy - radius, cx + radius, cy + radius, colour, [&](float px, float py) {
    float dx = px - cx, dy = py - cy;
    return dx * dx + dy * dy <= radius * radius;
  });
}

void Canvas::fill_polygon(const std::vector<Point>& points, Rgba colour) {
  if (points.size() < 3) return;
  float x0 = points[0].x, x1 = x0, y0 = points[0].y, y1 = y0;
  for (const Point& p : points) {
    x0 = std::min(x0, p.x), x1 = std::max(x1, p.x);
    y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
  }
  fill_shape(x0, y0, x1, y1, colour, [&](float px, float py) {
    bool in = false;
    for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
      const Point& a = points[i];
      const Point& b = points[j];
      if ((a.y > py) != (b.y > py) && px < (b.x - a.x) * (py - a.y) / (b.y - a.y) + a.x) in = !in;
    }
    return in;
  });
}

void Canvas::stroke_line(Point a, Point b, float width, Rgba colour) {
  float dx = b.x - a.x, dy = b.y - a.y;
  float len = std::sqrt(dx * dx + dy * dy);
  if (len <= 0) return;
  float h = width / 2;
  fill_shape(std::min(a.x, b.x) - h, std::min(a.y, b.y) - h, std::max(a.x, b.x) + h,
             std::max(a.y, b.y) + h, colour, [&](float px, float py) {
               float t = std::clamp(((px - a.x) * dx + (py - a.y) * dy) / (len * len), 0.0f, 1.0f);
               float qx = a.x + t * dx - px, qy = a.y + t * dy - py;
               return qx * qx + qy * qy <= h * h;
             });
}

float Canvas::draw_text(const Font& font, std::string_view text, float x, float baseline,
                        Rgba colour) {
  float pen = x;
  uint32_t previous = 0;
  for (uint32_t code : decode_utf8(text)) {
    if (previous) pen += font.kerning(previous, code);
    pen += font.render(code, pen, baseline,
                       [&](int px, int py, float coverage) { blend(px, py, colour, coverage); });
    previous = code;
  }
  return pen - x;
}

void Canvas::draw_text_in(const Font& font, std::string_view text, float x, float y, float w,
                          float h, Rgba colour, int align) {
  float width = font.measure(text);
  float left = align < 0 ? x : (align > 0 ? x + w - width : x + (w - width) / 2);
  float baseline = std::round(y + (h + font.cap_height()) / 2);
  draw_text(font, text, std::round(left), baseline, colour);
}

void Canvas::draw_canvas(const Canvas& src, int x, int y) {
  for (int sy = 0; sy < src.height(); ++sy) {
    for (int sx = 0; sx < src.width(); ++sx) {
      const Rgba& c = src.at(sx, sy);
      blend(x + sx, y + sy, {c.r, c.g, c.b, 1}, c.a);
    }
  }
}

bool Font::find_file(bool bold, std::string& path, std::string& error) {
  if (!FcInit()) {
    error = "fontconfig could not be initialised";
    return false;
  }
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("DejaVu Sans"));
  FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  bool found = false;
  if (match) {
    FcChar8* family = nullptr;
    FcChar8* file = nullptr;
    // fontconfig always answers with some font; only the family asked for will do.
    if (FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch &&
        FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
        std::string_view(reinterpret_cast<const char*>(family)) == "DejaVu Sans") {
      path = reinterpret_cast<const char*>(file);
      found = true;
    }
    FcPatternDestroy(match);
  }
  if (!found) {
    error = std::string("no \"DejaVu Sans") + (bold ? " Bold" : "") +
            "\" font found through fontconfig (install fonts-dejavu-core)";
  }
  return found;
}

Font::~Font() {
  if (face_) FT_Done_Face(static_cast<FT_Face>(face_));
  if (library_) FT_Done_FreeType(static_cast<FT_Library>(library_));
}

bool Font::open(const std::string& path, int pixel_size, std::string& error) {
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library)) {
    error = "FreeType could not be initialised";
    return false;
  }
  library_ = library;
  FT_Face face = nullptr;
  if (FT_New_Face(library, path.c_str(), 0, &face)) {
    error = "cannot open font " + path;
    return false;
  }
  face_ = face;
  if (FT_Set_Pixel_Sizes(face, 0, FT_UInt(pixel_size))) {
    error = "font " + path + " has no size " + std::to_string(pixel_size);
    return false;
  }
  if (!FT_Load_Char(face, 'H', FT_LOAD_DEFAULT)) {
    cap_height_ = float(face->glyph->metrics.horiBearingY) / 64.0f;
  }
  return true;
}

float Font::measure(std::string_view text) const {
  float width = 0;
  uint32_t previous = 0;
  FT_Face face = static_cast<FT_Face>(face_);
  for (uint32_t code : decode_utf8(text)) {
    if (previous) width += kerning(previous, code);
    if (!FT_Load_Char(face, code, FT_LOAD_DEFAULT)) {
      width += float(face->glyph->advance.x) / 64.0f;
    }
    previous = code;
  }
  return width;
}

float Font::kerning(uint32_t left, uint32_t right) const {
  FT_Face face = static_cast<FT_Face>(face_);
  if (!FT_HAS_KERNING(face)) return 0;
  FT_Vector delta{};
  FT_Get_Kerning(face, FT_Get_Char_Index(face, left), FT_Get_Char_Index(face, right),
                 FT_KERNING_DEFAULT, &delta);
  return float(delta.x) / 64.0f;
}

float Font::render(uint32_t code, float pen_x, float baseline,
                   const std::function<void(int, int, float)>& plot) const {
  FT_Face face = static_cast<FT_Face>(face_);
  if (FT_Load_Char(face, code, FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT)) return 0;
  FT_GlyphSlot g = face->glyph;
  int left = int(std::lround(pen_x)) + g->bitmap_left;
  int top = int(std::lround(baseline)) - g->bitmap_top;
  for (unsigned row = 0; row < g->bitmap.rows; ++row) {
    for (unsigned col = 0; col < g->bitmap.width; ++col) {
      uint8_t v = g->bitmap.buffer[int(row) * g->bitmap.pitch + int(col)];
      if (v) plot(left + int(col), top + int(row), float(v) / 255.0f);
    }
  }
  return float(g->advance.x) / 64.0f;
}

std::vector<uint32_t> decode_utf8(std::string_view text) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + size_t(extra) >= text.size()) {
      ++i;  // a broken sequence is skipped
      continue;
    }
    uint32_t code = extra == 0 ? c : c & (0x3Fu >> extra);
    for (int k = 1; k <= extra; ++k) {
      code = code << 6 | (static_cast<unsigned char>(text[i + size_t(k)]) & 0x3Fu);
    }
    out.push_back(code);
    i += size_t(extra) + 1;
  }
  return out;
}

}  // namespace skinbuilder
