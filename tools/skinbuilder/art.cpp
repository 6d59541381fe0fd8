#include "art.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

namespace skinbuilder {

namespace {

constexpr float kPi = 3.14159265f;

struct Ctx {
  const ArtRequest& req;
  std::string& error;

  std::string attr(const std::string& key, const std::string& fallback = "") const {
    return req.attrs.get(key, fallback);
  }
  Rgba colour(const std::string& key, const std::string& fallback) const {
    return req.palette.get(attr(key, fallback));
  }
  int number(const std::string& key, int fallback) const {
    auto v = parse_int(attr(key));
    return v ? *v : fallback;
  }
  std::vector<int> numbers(const std::string& key) const {
    std::vector<int> out;
    for (const std::string& t : split_list(attr(key), ',')) {
      auto v = parse_int(t);
      if (v) out.push_back(*v);
    }
    return out;
  }
  std::vector<std::string> list(const std::string& key) const {
    return req.attrs.has(key) ? split_list(attr(key)) : std::vector<std::string>{};
  }
  const Font& font(int size, bool bold) const { return req.fonts.get(size, bold); }
};

// Icons, drawn centred at (cx, cy) within a box of about s pixels.
void icon_play(Canvas& c, float cx, float cy, float s, Rgba col) {
  float h = s * 0.5f;
  c.fill_polygon({{cx - h * 0.7f, cy - h}, {cx + h * 0.9f, cy}, {cx - h * 0.7f, cy + h}}, col);
}
void icon_reverse(Canvas& c, float cx, float cy, float s, Rgba col) {
  float h = s * 0.5f;
  c.fill_polygon({{cx + h * 0.7f, cy - h}, {cx - h * 0.9f, cy}, {cx + h * 0.7f, cy + h}}, col);
}
void icon_fast(Canvas& c, float cx, float cy, float s, Rgba col) {
  float h = s * 0.45f;
  c.fill_polygon({{cx - h * 1.5f, cy - h}, {cx, cy}, {cx - h * 1.5f, cy + h}}, col);
  c.fill_polygon({{cx, cy - h}, {cx + h * 1.5f, cy}, {cx, cy + h}}, col);
}
void icon_pause(Canvas& c, float cx, float cy, float s, Rgba col) {
  float h = s * 0.5f, w = s * 0.22f;
  c.fill_round_rect(cx - w * 1.7f, cy - h, w, 2 * h, 1, col);
  c.fill_round_rect(cx + w * 0.7f, cy - h, w, 2 * h, 1, col);
}
void icon_stop(Canvas& c, float cx, float cy, float s, Rgba col) {
  float h = s * 0.4f;
  c.fill_round_rect(cx - h, cy - h, 2 * h, 2 * h, 2, col);
}
void icon_record(Canvas& c, float cx, float cy, float s, Rgba col) {
  c.fill_circle(cx, cy, s * 0.4f, col);
}
void icon_check(Canvas& c, float cx, float cy, float s, Rgba col) {
  float h = s * 0.45f;
  c.stroke_line({cx - h, cy}, {cx - h * 0.3f, cy + h * 0.7f}, 2.4f, col);
  c.stroke_line({cx - h * 0.3f, cy + h * 0.7f}, {cx + h, cy - h * 0.7f}, 2.4f, col);
}
void icon_chevron(Canvas& c, float cx, float cy, float s, Rgba col, int dir) {
  float h = s * 0.35f, d = float(dir) * h * 0.5f;
  c.stroke_line({cx - d, cy - h}, {cx + d, cy}, 2.2f, col);
  c.stroke_line({cx + d, cy}, {cx - d, cy + h}, 2.2f, col);
}
void icon_minus(Canvas& c, float cx, float cy, float s, Rgba col) {
  c.fill_rect(cx - s * 0.35f, cy - 1, s * 0.7f, 2, col);
}
void icon_plus(Canvas& c, float cx, float cy, float s, Rgba col) {
  c.fill_rect(cx - s * 0.35f, cy - 1, s * 0.7f, 2, col);
  c.fill_rect(cx - 1, cy - s * 0.35f, 2, s * 0.7f, col);
}
void icon_calendar(Canvas& c, float cx, float cy, float s, Rgba col, Rgba bg) {
  float w = s, h = s * 0.9f, x = cx - w / 2, y = cy - h / 2 + 1;
  c.fill_round_rect(x, y, w, h, 2.5f, col);
  c.fill_round_rect(x + 1.5f, y + 4.5f, w - 3, h - 6, 1.5f, bg);
  c.fill_rect(x + w * 0.25f, y - 2, 2, 4, col);
  c.fill_rect(x + w * 0.75f - 2, y - 2, 2, 4, col);
  for (int k = 0; k < 3; ++k) {
    c.fill_rect(x + 3 + float(k) * (w - 7) / 2, y + h * 0.55f, 2, 2, col);
  }
}
void icon_camera(Canvas& c, float cx, float cy, float s, Rgba col) {
  float w = s * 0.7f, h = s * 0.55f;
  c.fill_round_rect(cx - s / 2, cy - h / 2, w, h, 2, col);
  c.fill_polygon({{cx - s / 2 + w + 1, cy - 1},
                  {cx + s / 2, cy - h / 2},
                  {cx + s / 2, cy + h / 2},
                  {cx - s / 2 + w + 1, cy + 1}},
                 col);
}
// A g x g layout with the first `filled` cells bright.
void icon_grid(Canvas& c, float cx, float cy, float w, float h, int g, int filled, Rgba on,
               Rgba off) {
  float gap = 1.5f;
  float cw = (w - gap * float(g - 1)) / float(g), chh = (h - gap * float(g - 1)) / float(g);
  for (int k = 0; k < g * g; ++k) {
    float x = cx - w / 2 + float(k % g) * (cw + gap), y = cy - h / 2 + float(k / g) * (chh + gap);
    c.fill_round_rect(x, y, cw, chh, 1.0f, k < filled ? on : off);
  }
}
void icon_replay(Canvas& c, float cx, float cy, float s, Rgba col) {
  float r = s * 0.42f;
  for (int k = 0; k < 40; ++k) {  // an open circle, the gap at the top right
    float a0 = kPi * (0.35f + 1.6f * float(k) / 40), a1 = kPi * (0.35f + 1.6f * float(k + 1) / 40);
    c.stroke_line({cx + r * std::cos(a0), cy - r * std::sin(a0)},
                  {cx + r * std::cos(a1), cy - r * std::sin(a1)}, 2.0f, col);
  }
  float ax = cx + r * std::cos(kPi * 0.35f), ay = cy - r * std::sin(kPi * 0.35f);
  c.fill_polygon({{ax - 4.5f, ay - 3.5f}, {ax + 2.5f, ay - 4.5f}, {ax + 0.5f, ay + 2.5f}}, col);
  icon_play(c, cx + 0.5f, cy, s * 0.36f, col);
}
void icon_gear(Canvas& c, float cx, float cy, float r, Rgba col, Rgba hole) {
  std::vector<Point> pts;
  const int teeth = 8;
  for (int k = 0; k < teeth * 4; ++k) {
    float a = 2 * kPi * float(k) / float(teeth * 4) + kPi / float(teeth * 4);
    float rr = (k % 4 == 0 || k % 4 == 1) ? r : r * 0.78f;
    pts.push_back({cx + rr * std::cos(a), cy + rr * std::sin(a)});
  }
  c.fill_polygon(pts, col);
  c.fill_circle(cx, cy, r * 0.36f, hole);
}

bool draw_icon(Canvas& c, const std::string& name, float cx, float cy, float s, Rgba col, Rgba bg,
               std::string& error) {
  if (name.empty()) return true;
  if (name == "play") {
    icon_play(c, cx, cy, s, col);
  } else if (name == "reverse") {
    icon_reverse(c, cx, cy, s, col);
  } else if (name == "pause") {
    icon_pause(c, cx, cy, s, col);
  } else if (name == "fast") {
    icon_fast(c, cx, cy, s, col);
  } else if (name == "stop") {
    icon_stop(c, cx, cy, s, col);
  } else if (name == "record") {
    icon_record(c, cx, cy, s, col);
  } else if (name == "check") {
    icon_check(c, cx, cy, s, col);
  } else if (name == "left") {
    icon_chevron(c, cx, cy, s, col, -1);
  } else if (name == "right") {
    icon_chevron(c, cx, cy, s, col, 1);
  } else if (name == "minus") {
    icon_minus(c, cx, cy, s, col);
  } else if (name == "plus") {
    icon_plus(c, cx, cy, s, col);
  } else if (name == "calendar") {
    icon_calendar(c, cx, cy, s, col, bg);
  } else if (name == "camera") {
    icon_camera(c, cx, cy, s, col);
  } else if (name == "replay") {
    icon_replay(c, cx, cy, s, col);
  } else if (name.rfind("grid", 0) == 0 && name.size() >= 5) {
    // gridG or gridG-N: a G x G layout with N cells in use (all by default)
    int g = name[4] - '0';
    int n = g * g;
    if (name.size() > 6 && name[5] == '-') n = std::atoi(name.c_str() + 6);
    if (g < 1 || g > 6) {
      error = "bad grid icon " + name;
      return false;
    }
    icon_grid(c, cx, cy, s * 1.3f, s, g, n, col, mix(bg, col, 0.25f));
  } else {
    error = "unknown icon '" + name + "'";
    return false;
  }
  return true;
}

// The hover highlight: a ring along the key's edge, the corners outside it as the backdrop
// under the key, and the inside transparent so that the key shows through.
void hover_ring(const Ctx& x, Canvas& c) {
  float radius = float(x.number("radius", 8));
  float w = float(c.width()), h = float(c.height());
  Canvas shape(c.width(), c.height()), inner(c.width(), c.height());
  shape.fill_round_rect(0, 0, w, h, radius, rgb(0xffffff));
  // The inner edge is rounded less than the outer one, so the band stays solid in the corners
  // where pixel pairs round it.
  inner.fill_round_rect(2, 2, w - 4, h - 4, std::max(1.0f, radius - 5), rgb(0xffffff));
  Rgba back = x.req.palette.get(x.attr("backdrop", "panel"));
  Rgba col = x.colour("hover", "hover");
  for (int y = 0; y < c.height(); ++y) {
    for (int px = 0; px < c.width(); ++px) {
      float outside = 1 - shape.at(px, y).a;
      float r = std::max(0.0f, shape.at(px, y).a - inner.at(px, y).a);
      if (outside + r < 0.05f) {
        c.at(px, y) = {};
        continue;
      }
      Rgba m = mix(back, col, r / (outside + r));
      c.at(px, y) = {m.r, m.g, m.b, 1};
    }
  }
}

// Text with an optional small-caps look and a font description "size[b]".
void label(const Ctx& x, Canvas& c, const std::string& text, float bx, float by, float bw, float bh,
           Rgba col, int size, bool bold, int align) {
  c.draw_text_in(x.font(size, bold), text, bx, by, bw, bh, col, align);
}

int align_of(const std::string& a) { return a == "left" ? -1 : (a == "right" ? 1 : 0); }

// --- styles -------------------------------------------------------------------------------

bool paint_background(const Ctx& x, Canvas& c) {
  c.clear(x.colour("fill", "panel"));
  int header = x.number("header", 44);
  c.fill_rect(0, 0, float(c.width()), float(header), x.colour("headerfill", "header"));
  c.fill_rect(0, float(header), float(c.width()), 1, x.colour("line", "line"));
  // Empty channel places: where the DVR has no channel the key is hidden and this shows.
  auto s = x.numbers("slots");  // left, top, w, h, gap x, gap y, cols, rows
  if (s.size() == 8) {
    for (int r = 0; r < s[7]; ++r) {
      for (int k = 0; k < s[6]; ++k) {
        float l = float(s[0] + k * (s[2] + s[4])), t = float(s[1] + r * (s[3] + s[5]));
        c.fill_round_rect(l, t, float(s[2]), float(s[3]), 10, x.colour("slot", "slot"));
      }
    }
  }
  auto d = x.numbers("divider");  // left, top, width
  if (d.size() == 3)
    c.fill_rect(float(d[0]), float(d[1]), float(d[2]), 1, x.colour("line", "line"));
  return true;
}

// Shown on the Setup page only (cell 1); cell 0, for the other pages, is transparent.
bool paint_setup(const Ctx& x, Canvas& c, int cell) {
  if (cell != 1) return true;
  float w = float(c.width());
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  icon_gear(c, w / 2, 26, 22, x.colour("muted", "muted"),
            x.req.palette.get(x.attr("backdrop", "panel")));
  label(x, c, x.attr("title", "Settings"), 0, 56, w, 20, x.colour("text", "keytext"), 15, true, 0);
  auto lines = x.list("hint");
  for (size_t k = 0; k < lines.size(); ++k) {
    label(x, c, lines[k], 0, 80 + 17 * float(k), w, 16, x.colour("muted", "muted"), 11, false, 0);
  }
  return true;
}

bool paint_logo(const Ctx& x, Canvas& c, int cell) {
  auto subtitles = x.list("subtitles");
  if (cell >= int(subtitles.size())) return true;
  c.clear(x.colour("fill", "header"));
  float h = float(c.height());
  float mark = 26, my = (h - mark) / 2;
  c.fill_round_rect(0, my, mark, mark, 7, x.colour("accent", "accent"));
  c.fill_circle(mark / 2, my + mark / 2, 7.5f, rgb(0xffffff));
  c.fill_circle(mark / 2, my + mark / 2, 4.5f, x.colour("accent", "accent"));
  c.fill_circle(mark / 2 + 1.5f, my + mark / 2 - 1.5f, 1.5f, rgb(0xffffff));
  const Font& big = x.font(16, true);
  c.draw_text(big, x.attr("text", "TESSOMAR"), mark + 10, std::round(h / 2),
              x.colour("text", "title"));
  c.draw_text(x.font(10, false), subtitles[size_t(cell)], mark + 10, std::round(h / 2 + 12),
              x.colour("muted", "muted"));
  return true;
}

// Keys with one label (and icon) each, three strip cells per key: normal, current, unused.
bool paint_keys(const Ctx& x, Canvas& c, int cell) {
  auto labels = x.list("labels");
  auto icons = x.list("icons");
  int per = std::max(1, x.req.step);
  int key = cell / per, state = cell % per;
  if (key >= int(std::max(labels.size(), icons.size())) || state > 1) return true;
  bool lit = state == 1;
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  float radius = float(x.number("radius", 8));
  Rgba fill = lit ? x.colour("lit", "accent") : x.colour("fill", "key");
  Rgba ink = lit ? x.colour("litink", "accentink") : x.colour("ink", "keytext");
  c.fill_round_rect(0, 0, float(c.width()), float(c.height()), radius, fill);
  std::string text = key < int(labels.size()) ? labels[size_t(key)] : "";
  std::string icon = key < int(icons.size()) ? icons[size_t(key)] : "";
  int size = x.number("size", 13);
  bool bold = x.attr("bold", "1") == "1";
  float w = float(c.width()), h = float(c.height());
  if (icon.empty()) {
    label(x, c, text, 0, 0, w, h, ink, size, bold, 0);
    return true;
  }
  float icon_size = float(x.number("iconsize", 16));
  if (text.empty()) return draw_icon(c, icon, w / 2, h / 2, icon_size, ink, fill, x.error);
  float icon_y = std::round(h * 0.40f);
  if (!draw_icon(c, icon, w / 2, icon_y, icon_size, ink, fill, x.error)) return false;
  Rgba caption = lit ? ink : x.colour("caption", "muted");
  label(x, c, text, 0, h * 0.66f, w, h * 0.26f, caption, size, bold, 0);
  return true;
}

bool paint_tile(const Ctx& x, Canvas& c, int cell) {
  if (cell > 1) return true;
  bool lit = cell == 1;
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  Rgba fill = lit ? x.colour("lit", "accent") : x.colour("fill", "key");
  Rgba ink = lit ? x.colour("litink", "accentink") : x.colour("ink", "muted");
  c.fill_round_rect(0, 0, float(c.width()), float(c.height()), 10, fill);
  icon_camera(c, 17, 15, 14, ink);
  // A live dot in the top right of the channel on screen.
  if (lit) c.fill_circle(float(c.width()) - 12, 14, 3, x.colour("litink", "accentink"));
  return true;
}

bool paint_digits(const Ctx& x, Canvas& c, int col) {
  int variants = std::max(1, x.req.step);
  int digit = col / variants, q = col % variants;
  if (digit > 9) return true;
  auto fg = x.list("fg");
  auto bg = x.list("bg");
  Rgba back = x.req.palette.get(q < int(bg.size()) ? bg[size_t(q)] : "panel");
  Rgba ink = x.req.palette.get(q < int(fg.size()) ? fg[size_t(q)] : "keytext");
  c.clear(back);
  label(x, c, std::string(1, char('0' + digit)), 0, 0, float(c.width()), float(c.height()), ink,
        x.number("size", 14), x.attr("bold", "0") == "1", 0);
  return true;
}

bool paint_glyphs(const Ctx& x, Canvas& c, int col) {
  static const char kGlyphs[] = "0123456789:/ ";
  c.clear(x.colour("bg", "field"));
  if (col >= 13) return true;
  std::string text(1, kGlyphs[col]);
  label(x, c, text, 0, 0, float(c.width()), float(c.height()), x.colour("fg", "keytext"),
        x.number("size", 14), x.attr("bold", "0") == "1", 0);
  return true;
}

bool paint_card(const Ctx& x, Canvas& c) {
  c.clear(x.colour("fill", "panel"));
  c.fill_rect(0, 0, float(c.width()), 1, x.colour("line", "line"));
  return true;
}

bool paint_calendar(const Ctx& x, Canvas& c) {
  float w = float(c.width()), h = float(c.height());
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  c.fill_round_rect(0, 0, w, h, 12, x.colour("border", "line"));
  c.fill_round_rect(1, 1, w - 2, h - 2, 11, x.colour("fill", "card"));
  auto cols = x.numbers("columns");  // left, pitch, width
  auto wy = x.numbers("weekday_y");  // top, height
  auto names = x.list("weekdays");
  if (cols.size() == 3 && wy.size() == 2) {
    for (size_t k = 0; k < names.size(); ++k) {
      label(x, c, names[k], float(cols[0] + int(k) * cols[1]), float(wy[0]), float(cols[2]),
            float(wy[1]), x.colour("muted", "muted"), 10, true, 0);
    }
  }
  auto colons = x.numbers("colons");  // x, x, top, height
  if (colons.size() == 4) {
    for (int k = 0; k < 2; ++k) {
      label(x, c, ":", float(colons[size_t(k)] - 6), float(colons[2]), 12, float(colons[3]),
            x.colour("text", "keytext"), 18, true, 0);
    }
  }
  auto ticks = x.numbers("ticks");  // bar left, label top, pixels per hour
  if (ticks.size() == 3) {
    for (int hour = 0; hour <= 24; hour += 6) {
      float tx = float(ticks[0] + hour * ticks[2]);
      int align = hour == 0 ? -1 : (hour == 24 ? 1 : 0);
      float bx = align < 0 ? tx : (align > 0 ? tx - 30 : tx - 15);
      label(x, c, std::to_string(hour) + (hour == 24 ? "" : ""), bx, float(ticks[1]), 30, 10,
            x.colour("muted", "muted"), 9, false, align);
    }
  }
  return true;
}

bool paint_texts(const Ctx& x, Canvas& c, int cell) {
  auto texts = x.list("texts");
  std::string bgname = x.attr("bg", "panel");
  if (bgname != "none") c.clear(x.req.palette.get(bgname));
  if (cell >= int(texts.size()) || texts[size_t(cell)].empty()) return true;
  float w = float(c.width()), h = float(c.height());
  Rgba ink = x.colour("fg", "keytext");
  if (x.req.attrs.has("pill")) {
    c.fill_round_rect(0, 0, w, h, h / 2, x.colour("pill", "accent"));
  }
  int align = align_of(x.attr("align", "centre"));
  float pad = float(x.number("pad", 0));
  label(x, c, texts[size_t(cell)], pad, 0, w - 2 * pad, h, ink, x.number("size", 12),
        x.attr("bold", "0") == "1", align);
  return true;
}

// Keys chosen by a constant: cell 0 at rest, cell 1 while its request is pending.
bool paint_button(const Ctx& x, Canvas& c, int cell) {
  if (cell > 1) return true;
  float w = float(c.width()), h = float(c.height());
  Rgba back = x.req.palette.get(x.attr("backdrop", "panel"));
  c.clear(back);
  bool pressed = cell == 1;
  std::string look = x.attr("look", "secondary");
  Rgba fill = look == "primary" ? x.colour("fill", "accent") : x.colour("fill", "key");
  if (pressed) fill = x.colour("lit", "accent");
  Rgba ink =
      look == "primary" || pressed ? x.colour("litink", "accentink") : x.colour("ink", "keytext");
  c.fill_round_rect(0, 0, w, h, float(x.number("radius", 7)), fill);
  std::string text = x.attr("label");
  std::string icon = x.attr("icon");
  float icon_size = float(x.number("iconsize", 14));
  int size = x.number("size", 12);
  if (text.empty()) return draw_icon(c, icon, w / 2, h / 2, icon_size, ink, fill, x.error);
  if (icon.empty()) {
    label(x, c, text, 0, 0, w, h, ink, size, true, 0);
    return true;
  }
  const Font& f = x.font(size, true);
  float tw = f.measure(text), total = icon_size + 8 + tw, left = (w - total) / 2;
  if (!draw_icon(c, icon, left + icon_size / 2, h / 2, icon_size, ink, fill, x.error)) return false;
  label(x, c, text, left + icon_size + 8, 0, tw + 2, h, ink, size, true, -1);
  return true;
}

// A state display: cell k shows label k with icon k on fill k.
bool paint_states(const Ctx& x, Canvas& c, int cell) {
  auto labels = x.list("labels");
  auto icons = x.list("icons");
  auto fills = x.list("fills");
  if (cell >= int(labels.size())) return true;
  float w = float(c.width()), h = float(c.height());
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  Rgba fill = x.req.palette.get(cell < int(fills.size()) ? fills[size_t(cell)] : "accent");
  Rgba ink = x.colour("ink", "accentink");
  c.fill_round_rect(0, 0, w, h, 7, fill);
  const std::string& text = labels[size_t(cell)];
  std::string icon = cell < int(icons.size()) ? icons[size_t(cell)] : "";
  int size = x.number("size", 12);
  float icon_size = 12, tw = x.font(size, true).measure(text);
  float total = icon.empty() ? tw : icon_size + 7 + tw, left = std::round((w - total) / 2);
  if (!icon.empty()) {
    if (!draw_icon(c, icon, left + icon_size / 2, h / 2, icon_size, ink, fill, x.error))
      return false;
    left += icon_size + 7;
  }
  label(x, c, text, left, 0, tw + 2, h, ink, size, true, -1);
  return true;
}

// A time field: a framed box with a label and a calendar icon; the time text lies over it.
bool paint_field(const Ctx& x, Canvas& c, int cell) {
  if (cell > 1) return true;
  float w = float(c.width()), h = float(c.height());
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  Rgba border = cell == 1 ? x.colour("lit", "accent") : x.colour("border", "line");
  Rgba fill = x.colour("fill", "field");
  c.fill_round_rect(0, 0, w, h, 8, border);
  c.fill_round_rect(1, 1, w - 2, h - 2, 7, fill);
  std::string text = x.attr("label");
  if (!text.empty()) {
    label(x, c, text, 12, 0, 60, h, x.colour("muted", "muted"), 10, true, -1);
  }
  icon_calendar(c, w - 20, h / 2, 14, x.colour("icon", "accentsoft"), fill);
  return true;
}

bool paint_bar(const Ctx& x, Canvas& c) {
  int cw = c.width() / 2;
  float h = float(c.height());
  c.clear(x.req.palette.get(x.attr("backdrop", "panel")));
  c.fill_rect(0, 1, float(cw), h - 2, x.colour("fill", "accent"));
  c.fill_rect(float(cw), 1, float(cw), h - 2, x.colour("track", "track"));
  return true;
}

// Six cells a pattern, repeated along the strip: even half hour without and with recordings,
// unused, odd half hour without and with recordings, unused.
bool paint_halfhours(const Ctx& x, Canvas& c, int cell) {
  int kind = cell % 3, odd = (cell / 3) % 2;
  if (kind == 2) return true;
  float w = float(c.width()), h = float(c.height());
  c.clear(kind == 1 ? x.colour("rec", "rec") : x.colour("track", "track"));
  if (!odd) c.fill_rect(0, 0, 1, h, x.colour("tick", "panel"));
  (void)w;
  return true;
}

bool paint_marks(const Ctx& x, Canvas& c, int cell) {
  if (cell > 5) return true;
  float w = float(c.width()), h = float(c.height());
  c.clear(x.req.palette.get(x.attr("backdrop", "card")));
  c.fill_round_rect(0, 0, w, h, 6, x.colour("fill", "day"));
  bool rec = cell % 2 == 1, chosen = cell >= 4;
  if (rec) c.fill_round_rect(w / 2 - 7, h - 4, 14, 2, 1, x.colour("rec", "rec"));
  if (chosen) c.stroke_round_rect(0, 0, w, h, 6, 2, x.colour("lit", "accent"));
  return true;
}

bool paint_thumb(const Ctx& x, Canvas& c) {
  int w = c.width(), h = c.height();
  c.clear(x.colour("outline", "header"));
  c.fill_rect(2, 2, float(w - 4), float(h - 4), x.colour("fill", "title"));
  return true;
}

}  // namespace

Rgba Palette::get(const std::string& name) const {
  auto it = colours_.find(name);
  if (it != colours_.end()) return it->second;
  bool ok = false;
  Rgba c = parse_colour(name, ok);
  if (!ok) unknown_.insert(name);
  return ok ? c : Rgba{1, 0, 1, 1};
}

bool Palette::check(const std::string& name) const {
  bool ok = false;
  parse_colour(name, ok);
  return ok || has(name);
}

bool Fonts::init(std::string& error) {
  return Font::find_file(false, regular_path_, error) && Font::find_file(true, bold_path_, error);
}

const Font& Fonts::get(int pixel_size, bool bold) {
  auto key = std::make_pair(pixel_size, bold);
  auto it = cache_.find(key);
  if (it != cache_.end()) return *it->second;
  auto font = std::make_unique<Font>();
  std::string error;
  font->open(bold ? bold_path_ : regular_path_, pixel_size, error);
  return *(cache_[key] = std::move(font));
}

Rgba backdrop_of(const ArtRequest& request) {
  return request.palette.get(request.attrs.get("backdrop", "panel"));
}

bool paint_region(const ArtRequest& request, RegionKind kind, int col, int row, Canvas& canvas,
                  std::string& error) {
  Ctx x{request, error};
  const std::string& style = request.style;
  static const char* const kColourKeys[] = {"backdrop", "fill",  "lit",  "ink",    "litink",
                                            "hover",    "track", "rec",  "pill",   "border",
                                            "muted",    "line",  "slot", "outline"};
  for (const char* key : kColourKeys) {
    if (request.attrs.has(key) && !request.palette.check(request.attrs.get(key))) {
      error = "unknown colour '" + request.attrs.get(key) + "' for " + key;
      return false;
    }
  }
  int cell = row * std::max(request.cols, 1) + col;
  if (kind == RegionKind::Highlight) {
    if (request.attrs.get("highlight") == "none") return true;
    if (style == "halfhours") {
      canvas.clear(x.colour("hover", "hover"));
      return true;
    }
    hover_ring(x, canvas);
    return true;
  }
  if (kind == RegionKind::Background) return paint_background(x, canvas);
  if (kind == RegionKind::BarWindow) return paint_bar(x, canvas);
  if (style == "logo") return paint_logo(x, canvas, cell);
  if (style == "keys") return paint_keys(x, canvas, cell);
  if (style == "tile") return paint_tile(x, canvas, cell);
  if (style == "digits") return paint_digits(x, canvas, col);
  if (style == "glyphs") return paint_glyphs(x, canvas, col);
  if (style == "card") return paint_card(x, canvas);
  if (style == "calendar") return paint_calendar(x, canvas);
  if (style == "texts") return paint_texts(x, canvas, cell);
  if (style == "button") return paint_button(x, canvas, cell);
  if (style == "field") return paint_field(x, canvas, cell);
  if (style == "states") return paint_states(x, canvas, cell);
  if (style == "blank") return true;
  if (style == "setup") return paint_setup(x, canvas, cell);
  if (style == "halfhours") return paint_halfhours(x, canvas, cell);
  if (style == "marks") return paint_marks(x, canvas, cell);
  if (style == "thumb") return paint_thumb(x, canvas);
  error = "unknown art style '" + style + "'";
  return false;
}

}  // namespace skinbuilder

namespace skinbuilder {

bool paint_main_form(const Statement& attrs, const Palette& palette, Fonts& fonts, Canvas& canvas,
                     std::string& error) {
  ArtRequest request{"mainform", attrs, palette, fonts, canvas.width(), canvas.height(), 1, 1, 0};
  Ctx x{request, error};
  canvas.clear(x.colour("frame", "header"));
  auto video = x.numbers("videobox");
  auto keyform = x.numbers("keyformbox");
  auto strip = x.numbers("striptop");
  if (video.size() != 4 || keyform.size() != 4 || strip.size() != 1) {
    error = "mainform needs videobox=l,t,w,h keyformbox=l,t,w,h striptop=y";
    return false;
  }
  canvas.fill_rect(float(video[0]), float(video[1]), float(video[2]), float(video[3]),
                   x.colour("videofill", "#000000"));
  canvas.fill_rect(float(keyform[0]), float(keyform[1]), float(keyform[2]), float(keyform[3]),
                   x.colour("keyformfill", "panel"));
  float top = float(strip[0]);
  canvas.fill_rect(0, top, float(canvas.width()), float(canvas.height()) - top,
                   x.colour("stripfill", "header"));
  canvas.fill_rect(0, top, float(canvas.width()), 1, x.colour("line", "line"));
  for (int divider : x.numbers("dividers")) {
    canvas.fill_rect(float(divider), top + 10, 1, float(canvas.height()) - top - 20,
                     x.colour("line", "line"));
  }
  return true;
}

}  // namespace skinbuilder
