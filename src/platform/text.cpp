#include "platform/text.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

namespace tessomar::platform {

namespace {

// fontconfig's weight and slant values.
constexpr int kWeightBold = FC_WEIGHT_BOLD;
constexpr int kSlantItalic = FC_SLANT_ITALIC;
constexpr int kDpi = 96;

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
  }
  return out;
}

int ceil_pixels(FT_Pos v) { return int((v + 63) >> 6); }

}  // namespace

std::string font_pattern(const FontRequest& request) {
  std::string p = request.family;
  if (request.bold) p += ":weight=" + std::to_string(kWeightBold);
  if (request.italic) p += ":slant=" + std::to_string(kSlantItalic);
  return p;
}

std::optional<FontRequest> parse_font_pattern(std::string_view pattern) {
  FontRequest r;
  const size_t colon = pattern.find(':');
  r.family = std::string(pattern.substr(0, colon));
  while (!r.family.empty() && r.family.back() == ' ') r.family.pop_back();
  if (r.family.empty()) return std::nullopt;
  if (colon == std::string_view::npos) return r;
  std::string_view rest = pattern.substr(colon + 1);
  while (!rest.empty()) {
    const size_t end = rest.find_first_of(": ");
    const std::string word = lower(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (word.empty() || word == "regular" || word == "normal" || word == "book") continue;
    if (word == "bold") {
      r.bold = true;
    } else if (word == "italic" || word == "oblique") {
      r.italic = true;
    } else if (word == "underline") {
      r.underline = true;
    } else if (word == "strikeout") {
      r.strikeout = true;
    } else {
      return std::nullopt;
    }
  }
  return r;
}

struct TextFace::State {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  bool synthetic_bold = false;
  bool synthetic_italic = false;
};

TextFace::TextFace() : state_(std::make_unique<State>()) {
  if (FT_Init_FreeType(&state_->library) != 0) state_->library = nullptr;
}

TextFace::~TextFace() {
  if (state_->face) FT_Done_Face(state_->face);
  if (state_->library) FT_Done_FreeType(state_->library);
}

bool TextFace::is_open() const { return state_->face != nullptr; }

bool TextFace::open(const FontRequest& request) {
  if (!state_->library) return false;
  if (is_open() && request == request_) return true;
  if (!FcInit()) return false;
  // Built field by field, not parsed from text: a family name may hold the pattern syntax's
  // own characters ("Arial-12" would otherwise ask for 12 points of Arial).
  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return false;
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(request.family.c_str()));
  if (request.bold) FcPatternAddInteger(pattern, FC_WEIGHT, kWeightBold);
  if (request.italic) FcPatternAddInteger(pattern, FC_SLANT, kSlantItalic);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return false;
  FcChar8* file = nullptr;
  FcChar8* family = nullptr;
  int index = 0;
  int weight = 0;
  int slant = 0;
  bool ok = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch;
  FcPatternGetString(match, FC_FAMILY, 0, &family);
  FcPatternGetInteger(match, FC_INDEX, 0, &index);
  FcPatternGetInteger(match, FC_WEIGHT, 0, &weight);
  FcPatternGetInteger(match, FC_SLANT, 0, &slant);
  FT_Face face = nullptr;
  if (ok) ok = FT_New_Face(state_->library, reinterpret_cast<const char*>(file), index, &face) == 0;
  if (ok) {
    if (state_->face) FT_Done_Face(state_->face);
    state_->face = face;
    file_ = reinterpret_cast<const char*>(file);
    family_ = family ? reinterpret_cast<const char*>(family) : request.family;
    request_ = request;
    // Styles the matched face lacks are made up, as the old control's fonts were.
    state_->synthetic_bold = request.bold && weight < FC_WEIGHT_DEMIBOLD;
    state_->synthetic_italic = request.italic && slant == FC_SLANT_ROMAN;
    set_points(points_);
  }
  FcPatternDestroy(match);
  return ok;
}

void TextFace::set_points(int points) {
  points_ = std::clamp(points, 1, 1000);
  if (!state_->face) return;
  FT_Set_Char_Size(state_->face, 0, FT_F26Dot6(points_) * 64, kDpi, kDpi);
  if (state_->synthetic_italic) {
    FT_Matrix shear{0x10000, 0x3800, 0, 0x10000};
    FT_Set_Transform(state_->face, &shear, nullptr);
  } else {
    FT_Set_Transform(state_->face, nullptr, nullptr);
  }
}

int TextFace::line_height() const {
  const FT_Face face = state_->face;
  if (!face) return 0;
  return ceil_pixels(face->size->metrics.ascender) + ceil_pixels(-face->size->metrics.descender);
}

TextExtent TextFace::measure(std::u32string_view text) {
  TextExtent e;
  FT_Face face = state_->face;
  if (!face) return e;
  e.height = line_height();
  for (char32_t ch : text) {
    if (FT_Load_Char(face, ch, FT_LOAD_TARGET_MONO) != 0) continue;
    if (state_->synthetic_bold) FT_GlyphSlot_Embolden(face->glyph);
    e.width += int(face->glyph->advance.x >> 6);
  }
  return e;
}

void TextFace::draw(Bitmap& bitmap, int x, int y, std::u32string_view text, uint32_t colour) {
  FT_Face face = state_->face;
  if (!face) return;
  const int ascent = ceil_pixels(face->size->metrics.ascender);
  const int baseline = y + ascent;
  int pen = x;
  auto plot = [&](int px, int py) {
    if (px >= 0 && py >= 0 && px < bitmap.width() && py < bitmap.height()) {
      bitmap.set_pixel(px, py, colour);
    }
  };
  for (char32_t ch : text) {
    if (FT_Load_Char(face, ch, FT_LOAD_TARGET_MONO) != 0) continue;
    FT_GlyphSlot slot = face->glyph;
    if (state_->synthetic_bold) FT_GlyphSlot_Embolden(slot);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) == 0 &&
        slot->bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
      const FT_Bitmap& b = slot->bitmap;
      const int left = pen + slot->bitmap_left;
      const int top = baseline - slot->bitmap_top;
      for (unsigned r = 0; r < b.rows; ++r) {
        const unsigned char* row = b.buffer + ptrdiff_t(r) * b.pitch;
        for (unsigned col = 0; col < b.width; ++col) {
          if (row[col >> 3] & (0x80 >> (col & 7))) plot(left + int(col), top + int(r));
        }
      }
    }
    pen += int(slot->advance.x >> 6);
  }
  // Underline and strikeout run over the advance, one line of the face's thickness.
  if (request_.underline || request_.strikeout) {
    const FT_Fixed scale = face->size->metrics.y_scale;
    const int thickness = std::max(1, int(FT_MulFix(face->underline_thickness, scale) >> 6));
    auto line = [&](int top) {
      for (int t = 0; t < thickness; ++t) {
        for (int px = x; px < pen; ++px) plot(px, top + t);
      }
    };
    if (request_.underline) {
      line(baseline - int(FT_MulFix(face->underline_position, scale) >> 6));
    }
    if (request_.strikeout) line(baseline - ascent * 3 / 10);
  }
}

std::optional<std::string> utf8_to_code_page(std::string_view utf8, const char* code_page) {
  iconv_t cd = iconv_open(code_page, "UTF-8");
  if (cd == iconv_t(-1)) return std::nullopt;
  std::string out(utf8.size() * 4 + 8, '\0');
  char* src = const_cast<char*>(utf8.data());
  size_t src_left = utf8.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
  // Flush any shift state; the DVR's code pages have none but iconv wants it asked.
  const size_t f = iconv(cd, nullptr, nullptr, &dst, &dst_left);
  iconv_close(cd);
  if (r == size_t(-1) || f == size_t(-1) || src_left != 0) return std::nullopt;
  out.resize(out.size() - dst_left);
  return out;
}

std::string code_page_to_utf8(std::string_view bytes, const char* code_page) {
  iconv_t cd = iconv_open("UTF-8", code_page);
  if (cd == iconv_t(-1)) return {};
  std::string out(bytes.size() * 4 + 8, '\0');
  char* src = const_cast<char*>(bytes.data());
  size_t src_left = bytes.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (src_left > 0) {
    if (iconv(cd, &src, &src_left, &dst, &dst_left) != size_t(-1)) break;
    if (errno == E2BIG) break;
    // A byte that does not convert (or a cut multi-byte character) is dropped.
    ++src;
    --src_left;
  }
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

std::u32string utf8_to_utf32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto b = uint8_t(utf8[i]);
    int extra = 0;
    char32_t cp = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1;
      cp = b & 0x1Fu;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      cp = b & 0x0Fu;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      cp = b & 0x07u;
    } else {
      ++i;
      continue;
    }
    if (i + size_t(extra) >= utf8.size() && extra > 0) break;  // cut short
    bool good = true;
    for (int k = 1; k <= extra; ++k) {
      const auto c = uint8_t(utf8[i + size_t(k)]);
      if ((c & 0xC0) != 0x80) {
        good = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if (!good) {
      ++i;
      continue;
    }
    out.push_back(cp);
    i += size_t(extra) + 1;
  }
  return out;
}

}  // namespace tessomar::platform
