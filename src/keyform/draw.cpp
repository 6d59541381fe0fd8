// Composing a skin: layout of every element position, the cell choice of each kind, numbers,
// circles, sliders, bars, text, the hover highlight and the zoom bubble. Every copy is clipped
// to the composite and to the pixels the skin file holds.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "keyform/skin_engine.h"
#include "platform/bytes.h"
#include "platform/devtime.h"

namespace tessomar::keyform {

namespace {

// 16.16 sine and cosine, 256 steps per full turn.
struct TrigTables {
  std::array<int32_t, 256> sin{};
  std::array<int32_t, 256> cos{};
  TrigTables() {
    for (size_t k = 0; k < 256; ++k) {
      const double a = 2.0 * std::numbers::pi * static_cast<double>(k) / 256.0;
      sin[k] = static_cast<int32_t>(std::lround(65536.0 * std::sin(a)));
      cos[k] = static_cast<int32_t>(std::lround(65536.0 * std::cos(a)));
    }
  }
};

const TrigTables& trig() {
  static const TrigTables tables;
  return tables;
}

int64_t ceil_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && ((a > 0) == (b > 0))) ++q;
  return q;
}

int16_t wrap16(int64_t v) { return static_cast<int16_t>(v); }
int32_t wrap32(int64_t v) { return static_cast<int32_t>(v); }

// Decimal digits of |v|; 1 for 0.
int32_t digit_count(int64_t v) {
  uint64_t m = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
  int32_t n = 1;
  while (m >= 10) {
    m /= 10;
    ++n;
  }
  return n;
}

// Digit k (0 = most significant) of |v| written with n digits.
int64_t digit_at(int64_t v, int32_t n, int32_t k) {
  uint64_t m = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
  for (int32_t e = n - 1 - k; e > 0 && m != 0; --e) m /= 10;
  return static_cast<int64_t>(m % 10);
}

constexpr int16_t kKindNumberFirst = 0;
constexpr int16_t kKindNumberLast = 3;
constexpr int16_t kKindSpriteValue = 7999;
constexpr int16_t kKindModePage = 8000;
constexpr int16_t kKindDayNumber = 8001;
constexpr int16_t kKindSliderArea = 8002;
constexpr int16_t kKindModeKey = 8003;
constexpr int16_t kKindOffsetChoice = 8004;
constexpr int16_t kKindPageSection = 8005;
constexpr int16_t kKindBar = 8006;
constexpr int16_t kKindColumnValue = 8007;
constexpr int16_t kKindText = 8008;
constexpr int16_t kKindShifted = 8009;
constexpr int16_t kKindLiftKey = 8010;
constexpr int16_t kKindSlider = 8011;
constexpr uint16_t kBlackPixel = 0x8000;

// Centre of the first cell of a gc x gr grid centred on the slot's base plus offset.
struct GridOrigin {
  int64_t x0;
  int64_t y0;
};
GridOrigin grid_origin(const ElementSlot& slot, int64_t gc, int64_t gr) {
  const int64_t cw = slot.cell_width;
  const int64_t ch = slot.cell_height;
  return {slot.base_x + slot.offset_x - ((slot.gap_x * (gc - 1) + cw * gc) >> 1) + (cw >> 1),
          slot.base_y + slot.offset_y - ((slot.gap_y * (gr - 1) + ch * gr) >> 1) + (ch >> 1)};
}

}  // namespace

const ElementSlot* SkinEngine::parent_of(const ElementSlot& slot) const {
  if (slot.is_root()) return nullptr;
  // A parent beyond the slot table is an empty, hidden one.
  static constexpr ElementSlot kNoParent{};
  const int32_t at = slot.parent_slot();
  return at >= 0 && at < kElementSlotCount ? &slots_[static_cast<size_t>(at)] : &kNoParent;
}

void SkinEngine::copy_block(int64_t sx, int64_t sy, int64_t w, int64_t h, int64_t dx, int64_t dy,
                            bool opaque) {
  const int64_t cw = composite_width_;
  const int64_t ch = composite_height_;
  const int64_t row_begin = std::max<int64_t>({0, -dy, -sy});
  const int64_t row_end = std::min<int64_t>({h, ch - dy, int64_t{file_.rows()} - sy});
  const int64_t col_begin = std::max<int64_t>({0, -dx, -sx});
  const int64_t col_end = std::min<int64_t>({w, cw - dx, int64_t{file_.width()} - sx});
  if (col_begin >= col_end) return;
  const size_t count = static_cast<size_t>(col_end - col_begin);
  for (int64_t row = row_begin; row < row_end; ++row) {
    // Clipped columns only: the row may start left of the composite.
    uint16_t* out = composite_.data() + static_cast<size_t>((dy + row) * cw + dx + col_begin);
    const uint8_t* in =
        file_.pixel_bytes(static_cast<int32_t>(sx + col_begin), static_cast<int32_t>(sy + row));
    // Whole rows at a time: the background alone covers the composite on every redraw.
    if (opaque && std::endian::native == std::endian::little) {
      std::memcpy(out, in, 2 * count);
      continue;
    }
    for (size_t i = 0; i < count; ++i) {
      const uint16_t v = platform::load_u16le(in + 2 * i);
      if (opaque || v != kTransparentPixel) out[i] = v;
    }
  }
}

void SkinEngine::copy_cell(const ElementSlot& slot, int64_t sx, int64_t sy, int64_t x, int64_t y) {
  copy_block(sx, sy, slot.cell_width, slot.cell_height, x - (slot.cell_width >> 1),
             y - (slot.cell_height >> 1), false);
}

void SkinEngine::compose(const SkinEntry& entry, int32_t number_offset) {
  const int32_t first = entry.first_slot;
  const ElementSlot& background = slots_[static_cast<size_t>(first)];
  composite_width_ = background.cell_width;
  composite_height_ = background.cell_height;
  // Whatever the background does not cover shows white, never an older picture.
  std::fill_n(composite_.begin(),
              static_cast<size_t>(composite_width_) * static_cast<size_t>(composite_height_) + 1,
              kTransparentPixel);
  lift_ = 0;
  zoom_requested_ = false;
  const int32_t end = std::min(first + entry.slot_count, kElementSlotCount);
  for (int32_t p = 0; p < entry.position_count; ++p) {
    for (int32_t s = first; s < end; ++s) {
      const ElementSlot& slot = slots_[static_cast<size_t>(s)];
      if (p < slot.repeat || p < slot.parent_repeat) {
        draw_position(entry.file_name, first, s, p, number_offset);
      }
    }
  }
  if (zoom_requested_) draw_zoom_bubble();
  if (ctx_.redraw_flag() == kRedrawSliders) ctx_.redraw_flag() = 0;
}

void SkinEngine::draw_background(const ElementSlot& slot) {
  const int64_t cw = slot.cell_width;
  const int64_t ch = slot.cell_height;
  copy_block(slot.centre_x - (cw >> 1), slot.centre_y - (ch >> 1) + slot.strip_y, cw, ch, 0, 0,
             true);
}

void SkinEngine::layout(ElementSlot& slot, int32_t p) {
  const ElementSlot* parent = parent_of(slot);
  if (parent == nullptr) {
    slot.base_x = static_cast<int16_t>(slot.cell_width >> 1);
    slot.base_y = static_cast<int16_t>(slot.cell_height >> 1);
    slot.parent_offset_x = slot.parent_offset_y = 0;
    slot.offset_x = slot.offset_y = 0;
  } else {
    slot.base_x = parent->centre_x;
    slot.base_y = parent->centre_y;
    slot.parent_offset_x = parent->offset_x;
    slot.parent_offset_y = parent->offset_y;
  }
  if (slot.repeat < 2) {
    slot.centre_x = wrap16(slot.base_x + slot.offset_x);
    slot.centre_y = wrap16(slot.base_y + slot.offset_y);
  } else if (slot.grid_columns != 0) {
    const int64_t gc = slot.grid_columns;
    const int64_t gr = ceil_div(int64_t{slot.repeat} + slot.grid_extra, gc);
    const GridOrigin o = grid_origin(slot, gc, gr);
    slot.centre_x = wrap16((slot.cell_width + slot.gap_x) * (p % gc) + o.x0);
    slot.centre_y = wrap16((slot.cell_height + slot.gap_y) * (p / gc) + o.y0);
  }
  slot.parent_visible = parent == nullptr ? int16_t{1} : parent->visible;
}

void SkinEngine::draw_position(std::string_view skin_name, int32_t first, int32_t s, int32_t p,
                               int32_t o) {
  ElementSlot& slot = slots_[static_cast<size_t>(s)];
  if (s == first) {
    draw_background(slot);
    return;
  }
  if (slot.strip_columns == 0) return;
  layout(slot, p);
  const bool shown = slot.visible != 0 && slot.parent_visible != 0;
  const int16_t kind = slot.kind;
  if ((kind >= kKindNumberFirst && kind <= kKindNumberLast) || kind == kKindDayNumber) {
    if (shown) draw_number(slot, p, o);
  } else if (kind == kKindSlider) {
    if (shown) draw_slider(slot);
  } else if (kind != kKindSliderArea && slot.arrangement == 1) {
    if (shown) draw_circle(s, slot, p);
  } else if (kind == kKindBar) {
    if (shown) draw_bar(slot);
  } else if (kind == kKindText) {
    if (shown) draw_text(slot, p);
  } else if (kind != kKindSliderArea && slot.arrangement == 0) {
    draw_sprite(skin_name, s, slot, p, o);
  }
}

void SkinEngine::draw_sprite(std::string_view skin_name, int32_t s, ElementSlot& slot, int32_t p,
                             int32_t o) {
  const int16_t kind = slot.kind;
  const KeyFormVariables& v = ctx_.vars;
  if (kind == kKindModePage || kind == kKindModeKey) {
    slot.visible = slot.parameter == v.mod ? 1 : 0;
  } else if (kind == kKindPageSection) {
    if (is_key_form_name(skin_name)) {
      const int16_t param = slot.parameter;
      const int32_t page = v.ie_page2;
      bool visible = false;
      if (param == 6) {
        visible = v.ie_pb_ps == 1;
      } else if (param == 5 || param == 0) {
        visible = page == 0 && (param == 5 ? v.ie_m_ch == 8 : v.ie_m_ch != 8);
      } else if (param == 4 && v.ie_month_t == 0) {
        visible = true;
      } else if (param == 3 && v.ie_month_t != 0) {
        visible = true;
      } else if (page == 3 || page == -1) {
        visible = false;
      } else {
        visible = param == page;
      }
      slot.visible = visible ? 1 : 0;
    } else {
      slot.visible = 1;
    }
  }
  if (slot.visible == 0 || slot.parent_visible == 0) return;

  const Binding& a = slot.source;
  const Binding& b = slot.target;
  const char s1 = slot.source_letters[0];
  const char s3 = slot.source_letters[2];
  const char t1 = slot.target_letters[0];
  const int64_t cols = slot.strip_columns;
  const int64_t rows = slot.strip_rows;
  const int64_t step = slot.step;
  int64_t c = 0;
  int64_t r = 0;
  int64_t shift_x = 0;
  int64_t shift_y = 0;
  if (kind == kKindSpriteValue && s1 == 'S') {
    const int64_t value = a.get();
    c = value % cols;
    r = value / cols;
  } else if (kind == kKindShifted) {
    if (s1 == 'A') {
      shift_x = a.get(0);
      shift_y = a.get(1);
    }
  } else if (step < 1) {
    if (t1 == 'A' || s1 == 'A') {
      const int64_t value = t1 == 'A' ? b.get(p + o) : a.get(p + o);
      c = value % cols;
      r = value / cols;
    } else {
      // One position of 256 is the chosen one.
      const int64_t sel = b.exists() ? b.get() : 0;
      int64_t k = 0;
      if (s1 == 'C') {
        k = binding_constant(name_view(slot.source_name));
      } else if (s3 == 'C') {
        k = a.get();
      }
      const int64_t pk = p + k;
      const int64_t hit = pk >= 0 && pk < 256 && pk == sel ? 1 : 0;
      if (kind == kKindOffsetChoice) {
        c = o != 0 ? 1 : 0;
        r = 0;
      } else {
        c = k == 255 ? 2 : (hit + step * p) % cols;
        r = (hit + step * p) / cols;
      }
    }
  } else if (s1 == 'A') {
    if (a.get(p + o) == -1) return;
    r = step * p / cols;
    c = step * p % cols;
    if (cols >= 2) {
      c += a.get(p);
    } else if (rows > 1) {
      r += a.get(p);
    }
  } else {
    r = step * p / cols;
    c = step * p % cols;
    if (kind == kKindColumnValue) {
      if (step > 1) c += a.get();
    } else if (b.exists() && step > 1 && b.get() == p) {
      c += 1;
    }
  }
  if (c > cols || c < -1) c = -1;
  if (r > rows || r < -1) r = -1;
  if (c == -1 || r == -1) return;

  const bool hovered = ctx_.hover.slot == s && ctx_.hover.cell == p + 1;
  if (slot.level == 1) {
    lift_ = kind == kKindLiftKey && hovered ? -4 : 0;
  } else if (step != 0) {
    lift_ = 0;
  }
  const int64_t cw = slot.cell_width;
  const int64_t ch = slot.cell_height;
  copy_cell(slot, slot.strip_x + cw * c + 1, slot.strip_y + ch * r, slot.centre_x + shift_x,
            slot.centre_y + shift_y + lift_);

  if (!hovered) return;
  int mark = 1;
  if (kind == kKindModePage || kind == kKindModeKey) {
    if (a.exists() && (slot.parameter == 2 || slot.parameter == 0) && a.get(p) != 1) mark = 0;
  } else if (ctx_.popup) {
    mark = ctx_.input_mode() == kInputDateChooser ? 2 : 0;
  }
  if (mark == 1 && ((c != 2 && (step > 2 || step == 0)) || kind == kKindColumnValue)) {
    copy_cell(slot, slot.strip_x - cw, slot.strip_y, slot.centre_x, slot.centre_y + lift_);
  } else if (mark == 2) {
    zoom_requested_ = true;
    zoom_x0_ = wrap32(slot.centre_x - (cw >> 1));
    zoom_y0_ = wrap32(slot.centre_y + lift_ - (ch >> 1));
    zoom_x1_ = wrap32(zoom_x0_ + cw);
    zoom_y1_ = wrap32(zoom_y0_ + ch);
  }
}

void SkinEngine::draw_number(ElementSlot& slot, int32_t p, int32_t o) {
  const Binding& a = slot.source;
  const char s1 = slot.source_letters[0];
  if (s1 == 'A' && a.get(p + o) == -1) return;
  const int16_t kind = slot.kind;
  int64_t value = 0;
  int month = 0;
  if (kind == 0 || kind == 1) {
    value = int64_t{p} + o + slot.start_value;
  } else if (kind == 2 || kind == 3) {
    value = a.exists() ? a.get() : 0;
  } else {
    const platform::LocalDateTime d = platform::date_from_seconds(static_cast<uint32_t>(a.get(p)));
    value = d.day;
    month = d.month;
  }
  // At most 32 digits, as many as the number's cells can show.
  constexpr int32_t kMaxDigits = 32;
  int32_t n = 0;
  int64_t gc = 0;
  if (kind == 1 || kind == 2) {
    n = std::clamp<int32_t>(slot.repeat, 0, kMaxDigits);
    gc = slot.grid_columns;
  } else {
    n = value == 0 ? (slot.start_value == 0 ? 1 : 0) : std::min(digit_count(value), kMaxDigits);
    gc = n;
  }
  if (n == 0) return;
  int64_t gr = 1;
  if (gc == 0) {
    gc = 1;
  } else {
    gr = ceil_div(int64_t{slot.grid_extra} + n, gc);
  }
  const int64_t cw = slot.cell_width;
  const int64_t ch = slot.cell_height;
  const auto [x0, y0] = grid_origin(slot, gc, gr);
  int64_t variant = 0;
  if (kind == 0 || kind == 1) {
    variant = a.exists() ? a.get(p + o) : 0;
  } else if (kind == kKindDayNumber) {
    variant = month == ctx_.vars.mon_m ? 0 : 1;
  }
  const int64_t cols = slot.strip_columns;
  for (int32_t k = n - 1; k >= 0; --k) {
    const int64_t digit = digit_at(value, n, k);
    const int64_t x = (cw + slot.gap_x) * (k % gc) + x0;
    const int64_t y = (ch + slot.gap_y) * (k / gc) + y0 + lift_;
    const int64_t row = digit * slot.step / cols;
    const int64_t col = digit * slot.step % cols + variant;
    copy_cell(slot, slot.strip_x + cw * col, slot.strip_y + ch * row, x, y);
  }
}

void circle_position(const ElementSlot& slot, int32_t k, int64_t& x, int64_t& y) {
  const TrigTables& t = trig();
  // Positions past the slot's own repeat (drawn for a parent's cells) go round again.
  const int64_t per = slot.repeat > 0 ? 256 / slot.repeat : 0;
  const size_t a = static_cast<size_t>((per * k) & 255);
  x = slot.base_x + slot.offset_x + int64_t{t.cos[a]} * slot.radius / 65536;
  y = slot.base_y + slot.offset_y - int64_t{t.sin[a]} * slot.radius / 65536;
}

void SkinEngine::draw_circle(int32_t s, ElementSlot& slot, int32_t p) {
  if (slot.repeat <= 0) return;
  int64_t x = 0;
  int64_t y = 0;
  circle_position(slot, p, x, y);
  slot.centre_x = wrap16(x);
  slot.centre_y = wrap16(y);
  const int64_t cols = slot.strip_columns;
  const int64_t r = int64_t{slot.step} * p / cols;
  const int64_t c = int64_t{slot.step} * p % cols;
  const int64_t cw = slot.cell_width;
  const int64_t ch = slot.cell_height;
  copy_cell(slot, slot.strip_x + cw * c, slot.strip_y + ch * r, x, y);
  if (ctx_.hover.slot == s && ctx_.hover.cell == p && !ctx_.popup) {
    copy_cell(slot, slot.strip_x + cw * (c - 1), slot.strip_y + ch * r, x, y);
  }
}

void SkinEngine::draw_slider(ElementSlot& slot) {
  const int32_t param = slot.parameter;
  if (param < 1 || param >= kModeRecordCount) return;
  auto& record = ctx_.mode_records[static_cast<size_t>(param)];
  const bool horizontal = slot.gap_x >= 1;
  if (!horizontal && slot.gap_y < 1) return;
  const int64_t centre = horizontal ? slot.centre_x : slot.centre_y;
  const int64_t gap = horizontal ? slot.gap_x : slot.gap_y;
  if (param == ctx_.vars.sd_bar || ctx_.redraw_flag() == kRedrawSliders) {
    record[0] = wrap32(centre + (int64_t{record[1]} - (slot.start_value >> 1)) * gap);
    if (ctx_.redraw_flag() == kRedrawNext) {
      ctx_.vars.sd_bar = 0;
      ctx_.redraw_flag() = 0;
    }
  }
  const int64_t thumb = record[0] == kSliderThumbNotSet ? centre : record[0];
  if (horizontal) {
    copy_cell(slot, slot.strip_x + 1, slot.strip_y, thumb, slot.centre_y);
  } else {
    copy_cell(slot, slot.strip_x + 1, slot.strip_y, slot.centre_x, thumb);
  }
}

void SkinEngine::draw_bar(const ElementSlot& slot) {
  if (slot.source_letters[0] != 'S') return;
  const int64_t v = slot.source.get();
  const int64_t cw = slot.cell_width;
  const int64_t ch = slot.cell_height;
  if (slot.gap_x >= 1) {
    copy_cell(slot, slot.strip_x - (cw * v * 10) / 1000 + 1, slot.strip_y, slot.centre_x,
              slot.centre_y);
  } else if (slot.gap_y >= 1) {
    copy_cell(slot, slot.strip_x + 1, slot.strip_y - (ch * v * 10) / 1000, slot.centre_x,
              slot.centre_y);
  }
}

void SkinEngine::draw_text(const ElementSlot& slot, int32_t p) {
  if (slot.source_letters[0] != 'S') return;
  std::array<char, 64> text{};
  platform::timeText(static_cast<uint32_t>(slot.source.get()), text.data(), text.size());
  const char c = p >= 0 && static_cast<size_t>(p) < text.size() ? text[static_cast<size_t>(p)] : 0;
  int64_t column = 0;
  if (c >= '0' && c <= '9') {
    column = c - '0';
  } else if (c == ':') {
    column = 10;
  } else if (c == '/') {
    column = 11;
  } else if (c == ' ') {
    column = 12;
  }
  copy_cell(slot, slot.strip_x + slot.cell_width * column + 1, slot.strip_y, slot.centre_x,
            slot.centre_y);
}

void SkinEngine::draw_zoom_bubble() {
  const int64_t x0 = zoom_x0_;
  const int64_t y0 = zoom_y0_;
  const int64_t w = int64_t{zoom_x1_} - x0;
  const int64_t h = int64_t{zoom_y1_} - y0;
  if (w <= 0 || h <= 0 || static_cast<size_t>(w * h) > cell_buffer_.size()) return;
  const int64_t cw = composite_width_;
  const int64_t ch = composite_height_;
  // The hovered cell as it was composed; what lies outside the composite shows white.
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const int64_t sx = x0 + x;
      const int64_t sy = y0 + y;
      cell_buffer_[static_cast<size_t>(y * w + x)] =
          sx >= 0 && sx < cw && sy >= 0 && sy < ch ? composite_[static_cast<size_t>(sy * cw + sx)]
                                                   : kTransparentPixel;
    }
  }
  int64_t dx = x0 - (w >> 1);
  if (dx & 1) dx -= 1;
  if (dx < 0) dx = 0;
  if (static_cast<uint64_t>(2 * w + dx) > static_cast<uint64_t>(cw)) dx = cw - 2 * w;
  int64_t dy = 3 * y0 - 2 * int64_t{zoom_y1_} - (w >> 1);
  if (dy < 0) dy = 0;

  auto put = [&](int64_t x, int64_t y, uint16_t v) {
    if (x >= 0 && x < cw && y >= 0 && y < ch) composite_[static_cast<size_t>(y * cw + x)] = v;
  };
  // Output pixel X of a row magnified from `src`: each source pixel twice across; in every
  // whole group of four the middle two swap chroma so that U and V keep alternating.
  auto magnified = [&](const uint16_t* src, int64_t X) -> uint16_t {
    const int64_t col = X >> 1;
    uint16_t v = src[col];
    if ((X | 3) < 2 * w) {
      if ((X & 3) == 1) v = static_cast<uint16_t>((v & 0xFF) | (src[col + 1] & 0xFF00));
      if ((X & 3) == 2) v = static_cast<uint16_t>((v & 0xFF) | (src[col - 1] & 0xFF00));
    }
    return v;
  };
  for (int64_t R = 0; R < 2 * h; ++R) {
    const uint16_t* src = cell_buffer_.data() + static_cast<size_t>((R >> 1) * w);
    for (int64_t X = 0; X < 2 * w; ++X) {
      const int64_t col = X >> 1;
      const bool frame = R == 0 || col == 0 || col == w - 1;
      put(dx + X, dy + R, frame ? kBlackPixel : magnified(src, X));
    }
  }
  const uint16_t* last = cell_buffer_.data() + static_cast<size_t>((h - 1) * w);
  for (int64_t t = 1; t <= (w >> 1); ++t) {
    const int64_t y = dy + 2 * h + t - 1;
    for (int64_t X = t; X <= 2 * w - t; ++X) {
      const bool frame = X == t || X == 2 * w - t;
      put(dx + X, y, frame ? kBlackPixel : magnified(last, X));
    }
  }
}

}  // namespace tessomar::keyform
