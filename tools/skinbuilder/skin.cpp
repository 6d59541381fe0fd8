#include "skin.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace skinbuilder {

namespace {

std::string at_line(int line) { return "line " + std::to_string(line) + ": "; }

bool read_int(const Statement& s, const std::string& key, int& out, std::string& error) {
  if (!s.has(key)) return true;
  auto v = parse_int(s.get(key));
  if (!v) {
    error = at_line(s.line) + key + " is not a number";
    return false;
  }
  out = *v;
  return true;
}

bool read_pair(const Statement& s, const std::string& key, char sep, int& a, int& b,
               std::string& error) {
  if (!s.has(key)) return true;
  auto v = parse_pair(s.get(key), sep);
  if (!v) {
    error = at_line(s.line) + key + " must be two numbers separated by '" + sep + "'";
    return false;
  }
  a = v->first;
  b = v->second;
  return true;
}

bool is_number_kind(int kind) { return kind <= 3 || kind == 8001; }

// The storage letter of a binding name: the letter after its last '#'.
char binding_letter(const std::string& name) {
  size_t hash = name.rfind('#');
  return hash == std::string::npos || hash + 1 >= name.size() ? '0' : name[hash + 1];
}

int digit_count(long v) {
  int n = 1;
  for (v = v < 0 ? -v : v; v >= 10; v /= 10) ++n;
  return n;
}

struct Centre {
  int x = 0, y = 0;
};

// The key form's arithmetic: 16-bit fields, arithmetic shifts.
int ceil_div(int a, int b) { return (a + b - 1) / b; }

class Layout {
 public:
  explicit Layout(const SkinPlan& plan) : plan_(plan) {}

  const ImagePlan& image(const ElementPlan& e) const { return plan_.images[size_t(e.image_index)]; }

  // Positions an element is drawn at: below its repeat or its parent's repeat.
  int draws(const ElementPlan& e) const {
    int parent_repeat = e.parent_index < 0 ? 1 : plan_.elements[size_t(e.parent_index)].repeat;
    return std::max(e.repeat, parent_repeat);
  }

  Centre load_centre(const ElementPlan& e) const {
    if (e.parent_index < 0) return {image(e).cw >> 1, image(e).ch >> 1};
    Centre p = load_centre(plan_.elements[size_t(e.parent_index)]);
    return {p.x + e.off_x, p.y + e.off_y};
  }

  Centre base(const ElementPlan& e, int p) const {
    if (e.parent_index < 0) return {image(e).cw >> 1, image(e).ch >> 1};
    const ElementPlan& parent = plan_.elements[size_t(e.parent_index)];
    return centre(parent, std::min(p, draws(parent) - 1));
  }

  Centre centre(const ElementPlan& e, int p) const {
    if (e.parent_index < 0) return {image(e).cw >> 1, image(e).ch >> 1};
    Centre b = base(e, p);
    if (e.repeat < 2) return {b.x + e.off_x, b.y + e.off_y};
    int gc = e.grid_columns;
    if (gc == 0) return load_centre(e);
    const ImagePlan& im = image(e);
    int gr = ceil_div(e.repeat + e.grid_extra, gc);
    int x0 = b.x + e.off_x - ((e.gap_x * (gc - 1) + im.cw * gc) >> 1) + (im.cw >> 1);
    int y0 = b.y + e.off_y - ((e.gap_y * (gr - 1) + im.ch * gr) >> 1) + (im.ch >> 1);
    return {(im.cw + e.gap_x) * (p % gc) + x0, (im.ch + e.gap_y) * (p / gc) + y0};
  }

 private:
  const SkinPlan& plan_;
};

DrawFamily family_of(const ImagePlan& im, bool first) {
  if (first) return DrawFamily::Background;
  if (im.cols == 0 || im.kind == 8002) return DrawFamily::None;
  if (is_number_kind(im.kind)) return DrawFamily::Number;
  if (im.kind == 8011) return DrawFamily::Slider;
  if (im.kind == 8006) return DrawFamily::Bar;
  if (im.kind == 8008) return DrawFamily::Text;
  return DrawFamily::Sprite;
}

// Whether the key form can ever draw the image's hover highlight: only for a clickable image,
// and only with step 0, a step above 2, or kind 8007.
bool has_highlight(const ImagePlan& im) {
  return im.level != 0 && (im.step == 0 || im.step > 2 || im.kind == 8007);
}

// The picture area an image's strip needs and where its strip x lies inside that area.
void strip_area(const ImagePlan& im, int& width, int& height, int& sx_in_area) {
  int rows = im.rows + (im.guard ? 1 : 0);
  switch (im.family) {
    case DrawFamily::Sprite:
      // The hover highlight cell (only a clickable image is ever hovered), one unused column,
      // then the cells from SX + 1.
      width = im.cw * (im.cols + (has_highlight(im) ? 1 : 0)) + 1;
      height = im.ch * rows;
      sx_in_area = has_highlight(im) ? im.cw : 0;
      break;
    case DrawFamily::Number:  // cells from SX
      width = im.cw * im.cols;
      height = im.ch * rows;
      sx_in_area = 0;
      break;
    case DrawFamily::Text:  // glyphs from SX + 1
      width = im.cw * im.cols + 1;
      height = im.ch;
      sx_in_area = 0;
      break;
    case DrawFamily::Slider:  // the thumb at SX + 1
      width = im.cw + 1;
      height = im.ch;
      sx_in_area = 0;
      break;
    case DrawFamily::Bar:  // full bar left of SX + 1, empty bar from SX + 1
      width = 2 * im.cw;
      height = im.ch;
      sx_in_area = im.cw - 1;
      break;
    default:
      width = height = sx_in_area = 0;
  }
}

struct Yuv {
  uint8_t y, u, v;
};

uint8_t clamp_byte(float v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// Chroma keeps its two low bits clear: in the U byte they are the whitening level.
uint8_t chroma_byte(float v) {
  long q = std::lround(v / 4.0f) * 4;
  return uint8_t(std::clamp(q, 0L, 252L));
}

Yuv to_yuv(Rgba a, Rgba b) {
  auto luma = [](Rgba c) { return 255.0f * (0.299f * c.r + 0.587f * c.g + 0.114f * c.b); };
  float y0 = luma(a), y1 = luma(b);
  float r = 127.5f * (a.r + b.r), bl = 127.5f * (a.b + b.b), y = (y0 + y1) / 2;
  // The inverse of the key form's display conversion (full-range BT.601).
  return {clamp_byte(y0), chroma_byte(128.0f + (bl - y) * 256.0f / 516.0f),
          chroma_byte(128.0f + (r - y) * 256.0f / 292.0f)};
}

// Encodes a painted region into the picture. `parity` is the parity of the composite x where
// local column 0 lands: pixels pair up as they will on the composite, so each pixel carries the
// chroma byte its composite position reads (U at even x, V at odd x).
void encode_region(const Canvas& art, int parity, Rgba backdrop, std::vector<uint16_t>& picture,
                   int picture_width, int x0, int y0) {
  int w = art.width();
  std::vector<Rgba> row(static_cast<size_t>(w));
  std::vector<bool> clear(static_cast<size_t>(w));
  for (int y = 0; y < art.height(); ++y) {
    for (int u = 0; u < w; ++u) {
      Rgba c = art.at(u, y);
      clear[size_t(u)] = c.a < 0.02f;
      row[size_t(u)] =
          c.a >= 0.98f ? Rgba{c.r, c.g, c.b, 1} : mix(backdrop, {c.r, c.g, c.b, 1}, c.a);
    }
    uint16_t* out = picture.data() + size_t(y0 + y) * size_t(picture_width) + size_t(x0);
    for (int u = 0; u < w; ++u) {
      bool first = ((parity + u) & 1) == 0;
      int partner = first ? u + 1 : u - 1;
      bool has_partner = partner >= 0 && partner < w;
      bool me_clear = clear[size_t(u)];
      bool partner_clear = has_partner ? bool(clear[size_t(partner)]) : me_clear;
      if (me_clear && partner_clear) {
        out[u] = 0xFFFF;
        continue;
      }
      // A pair shares its chroma, so it is either wholly transparent or wholly opaque.
      Rgba mine = me_clear ? row[size_t(partner)] : row[size_t(u)];
      Rgba other = has_partner && !partner_clear ? row[size_t(partner)] : mine;
      Yuv yuv = to_yuv(mine, other);
      out[u] = uint16_t((first ? yuv.u : yuv.v) << 8 | yuv.y);
    }
  }
}

void put_i16(std::vector<uint8_t>& t, size_t at, int v) {
  t[at] = uint8_t(v & 0xFF);
  t[at + 1] = uint8_t((v >> 8) & 0xFF);
}

void put_name(std::vector<uint8_t>& t, size_t at, const std::string& name) {
  std::memcpy(t.data() + at, name.data(), std::min<size_t>(name.size(), 16));
}

}  // namespace

bool build_plan(std::vector<Statement> statements, SkinPlan& plan, std::string& error) {
  plan.statements = std::move(statements);
  std::map<std::string, int> image_index, element_index;
  for (const Statement& s : plan.statements) {
    if (s.keyword == "picture") {
      auto w = parse_int(s.name);
      if (!w || *w < 512 || *w % 2 != 0 || *w > 4096) {
        error = at_line(s.line) + "picture width must be even and 512 to 4096";
        return false;
      }
      plan.picture_width = *w;
    } else if (s.keyword == "colour") {
      bool ok = false;
      Rgba c = parse_colour(s.value, ok);
      if (!ok) {
        error = at_line(s.line) + "colour " + s.name + " needs #rrggbb";
        return false;
      }
      plan.palette.set(s.name, c);
    } else if (s.keyword == "mainform") {
      plan.main_form = &s;
    } else if (s.keyword == "image") {
      ImagePlan im;
      im.name = s.name;
      im.attrs = &s;
      im.art = s.get("art", "none");
      im.alias = s.get("alias");
      im.guard = s.get("guard") == "1";
      if (!read_pair(s, "cell", 'x', im.cw, im.ch, error) ||
          !read_pair(s, "strip", 'x', im.cols, im.rows, error) ||
          !read_int(s, "step", im.step, error) || !read_int(s, "kind", im.kind, error) ||
          !read_int(s, "param", im.param, error) || !read_int(s, "level", im.level, error) ||
          !read_int(s, "digits", im.digits, error)) {
        return false;
      }
      if (im.name.size() > 16 || im.name.empty()) {
        error = at_line(s.line) + "image names are 1 to 16 characters";
        return false;
      }
      if (im.cw <= 0 || im.ch <= 0 || im.cols < 0 || im.rows < 1) {
        error = at_line(s.line) + "image " + im.name + " needs cell=WxH and strip=CxR";
        return false;
      }
      if (image_index.count(im.name)) {
        error = at_line(s.line) + "image " + im.name + " named twice";
        return false;
      }
      image_index[im.name] = int(plan.images.size());
      im.family = family_of(im, plan.images.empty());
      if (im.family != DrawFamily::None && im.family != DrawFamily::Background && im.cw % 2) {
        error = at_line(s.line) + "image " + im.name +
                " needs an even cell width (pixels pair up two by two)";
        return false;
      }
      if (im.family == DrawFamily::Bar && im.cw % 100 && (im.cw * 2) % 200) {
        error = at_line(s.line) + "bar " + im.name +
                " needs a cell width of a multiple of 200 so every percentage moves it an even "
                "number of pixels";
        return false;
      }
      plan.images.push_back(im);
    } else if (s.keyword == "element") {
      ElementPlan e;
      e.name = s.name;
      e.line = s.line;
      e.image = s.get("image");
      e.parent = s.get("parent", plan.elements.empty() ? "#Vout" : plan.elements[0].name);
      e.source = s.get("source");
      e.target = s.get("target");
      if (!read_int(s, "repeat", e.repeat, error) || !read_int(s, "grid", e.grid_columns, error) ||
          !read_int(s, "extra", e.grid_extra, error) || !read_int(s, "start", e.start, error) ||
          !read_int(s, "arrangement", e.arrangement, error) ||
          !read_int(s, "radius", e.radius, error) ||
          !read_pair(s, "gap", ',', e.gap_x, e.gap_y, error)) {
        return false;
      }
      for (const std::string* n : {&e.name, &e.image, &e.parent, &e.source, &e.target}) {
        if (n->size() > 16) {
          error = at_line(s.line) + "'" + *n + "' is longer than 16 characters";
          return false;
        }
      }
      if (e.name.empty() || element_index.count(e.name)) {
        error = at_line(s.line) + "element name missing or used twice";
        return false;
      }
      auto im = image_index.find(e.image);
      if (im == image_index.end()) {
        error = at_line(s.line) + "element " + e.name + " names no known image '" + e.image + "'";
        return false;
      }
      e.image_index = im->second;
      if (e.parent == "#Vout") {
        if (!plan.elements.empty() || e.image_index != 0) {
          error = at_line(s.line) + "only the first element is the root, on the first image";
          return false;
        }
      } else {
        auto p = element_index.find(e.parent);
        if (p == element_index.end()) {
          error = at_line(s.line) + "parent " + e.parent + " of " + e.name +
                  " must be an element listed before it";
          return false;
        }
        e.parent_index = p->second;
      }
      if (e.arrangement != 0) {
        error = at_line(s.line) + "circle arrangements are not supported by this builder";
        return false;
      }
      if (e.grid_columns < -128 || e.grid_columns > 127 || e.grid_extra < -128 ||
          e.grid_extra > 127) {
        error = at_line(s.line) + "grid columns and extra are 8-bit";
        return false;
      }
      element_index[e.name] = int(plan.elements.size());
      plan.elements.push_back(e);
    } else {
      error = at_line(s.line) + "unknown statement '" + s.keyword + "'";
      return false;
    }
  }
  if (plan.images.empty() || plan.elements.empty() || plan.elements[0].parent != "#Vout") {
    error = "the description needs a root element (parent #Vout) on the first image";
    return false;
  }
  for (ImagePlan& im : plan.images) {
    if (im.alias.empty()) continue;
    auto a = image_index.find(im.alias);
    if (a == image_index.end() || !plan.images[size_t(a->second)].alias.empty()) {
      error = "image " + im.name + ": alias " + im.alias + " must be an image without an alias";
      return false;
    }
    const ImagePlan& other = plan.images[size_t(a->second)];
    if (other.cw != im.cw || other.ch != im.ch || other.cols != im.cols || other.rows != im.rows ||
        other.family != im.family) {
      error = "image " + im.name + " must have the size and strip of its alias " + im.alias;
      return false;
    }
  }
  if (int(plan.images.size()) > kMaxImages || int(plan.elements.size()) > kMaxElements ||
      int(plan.images.size() + plan.elements.size()) > kMaxNames ||
      int(plan.elements.size()) > kMaxSlots) {
    error = "too many images or elements: at most 64 images, 97 elements, 160 together";
    return false;
  }
  // Placements: an absolute centre or top-left corner becomes the offset from the parent's
  // centre, which for these parents does not move between positions.
  Layout layout(plan);
  for (size_t j = 0; j < plan.elements.size(); ++j) {
    ElementPlan& e = plan.elements[j];
    const Statement* s = nullptr;
    for (const Statement& st : plan.statements) {
      if (st.keyword == "element" && st.name == e.name) s = &st;
    }
    if (e.parent_index < 0) continue;
    const ElementPlan& parent = plan.elements[size_t(e.parent_index)];
    const ImagePlan& im = plan.images[size_t(e.image_index)];
    int given = int(s->has("left")) + int(s->has("centre")) + int(s->has("offset"));
    if (given != 1) {
      error = at_line(e.line) + e.name + " needs exactly one of left=, centre=, offset=";
      return false;
    }
    if (s->has("offset")) {
      if (!read_pair(*s, "offset", ',', e.off_x, e.off_y, error)) return false;
      continue;
    }
    if (parent.parent_index >= 0 && parent.repeat >= 2) {
      error = at_line(e.line) + e.name + ": a child of a repeated element is placed by offset=";
      return false;
    }
    int x = 0, y = 0;
    if (!read_pair(*s, s->has("left") ? "left" : "centre", ',', x, y, error)) return false;
    if (s->has("left")) {
      if (e.repeat >= 2 && e.grid_columns > 0) {
        int gc = e.grid_columns;
        int gr = ceil_div(e.repeat + e.grid_extra, gc);
        x += (e.gap_x * (gc - 1) + im.cw * gc) >> 1;
        y += (e.gap_y * (gr - 1) + im.ch * gr) >> 1;
      } else {
        x += im.cw >> 1;
        y += im.ch >> 1;
      }
    }
    Centre pc = layout.load_centre(parent);
    e.off_x = x - pc.x;
    e.off_y = y - pc.y;
  }
  return true;
}

bool check_layout(SkinPlan& plan, std::string& error) {
  Layout layout(plan);
  const ImagePlan& root = plan.images[0];
  if (root.cw != kCompositeWidth || root.ch != kCompositeHeight) {
    error = "the root image must be 320 x 576, the key form's size";
    return false;
  }
  plan.images[0].drawn = true;
  plan.images[0].dest_parity = 0;
  auto land = [&](const ElementPlan& e, int left, int top, int p) {
    ImagePlan& im = plan.images[size_t(e.image_index)];
    ImagePlan& owner = im.alias.empty()
                           ? im
                           : *std::find_if(plan.images.begin(), plan.images.end(),
                                           [&](const ImagePlan& o) { return o.name == im.alias; });
    if (left < 0 || top < 0 || left + im.cw > kCompositeWidth || top + im.ch > kCompositeHeight) {
      error = e.name + " position " + std::to_string(p) + ": cell at (" + std::to_string(left) +
              ", " + std::to_string(top) + ") lies outside the 320 x 576 key form";
      return false;
    }
    int parity = left & 1;
    for (ImagePlan* x : {&im, &owner}) {
      if (x->dest_parity >= 0 && x->dest_parity != parity) {
        error = e.name + " position " + std::to_string(p) + ": image " + x->name +
                " lands at both even and odd x; move it by one pixel";
        return false;
      }
      x->dest_parity = parity;
      x->drawn = true;
    }
    return true;
  };
  for (size_t j = 1; j < plan.elements.size(); ++j) {
    const ElementPlan& e = plan.elements[j];
    const ImagePlan& im = plan.images[size_t(e.image_index)];
    int draws = layout.draws(e);
    if ((im.family == DrawFamily::Bar || im.family == DrawFamily::Slider) && e.gap_x < 1 &&
        e.gap_y < 1) {
      error = e.name + ": bars and sliders need gap x (or gap y) of 1 or more";
      return false;
    }
    // The hit test takes only elements with grid columns, and lays a grid out with the smaller
    // of repeat and grid columns where drawing uses the grid columns.
    bool clickable = im.level != 0 && e.source.find('#') != std::string::npos;
    if (clickable && e.grid_columns < 1) {
      error = e.name + ": a clickable element needs grid=1 or more, or no click reaches it";
      return false;
    }
    if (e.grid_columns > e.repeat && e.repeat >= 2) {
      error = e.name +
              ": grid columns above the repeat place the hit cells apart from the drawn "
              "ones";
      return false;
    }
    // With a step of 1 or more, position p starts at strip cell step x p: the strip must hold
    // every position's cells (plus the one-column offset of a lit array key).
    if (im.family == DrawFamily::Sprite && im.step >= 1 && im.kind != 8009 &&
        !(im.kind == 7999 && !e.source.empty() && binding_letter(e.source) == 'S')) {
      int last = im.step * (e.repeat - 1);
      if (last / im.cols >= im.rows) {
        error = e.name + ": position " + std::to_string(e.repeat - 1) + " needs strip cell " +
                std::to_string(last) + ", beyond the " + std::to_string(im.cols) + " x " +
                std::to_string(im.rows) + " strip of " + im.name;
        return false;
      }
    }
    for (int p = 0; p < draws; ++p) {
      Centre c = layout.centre(e, p);
      switch (im.family) {
        case DrawFamily::Sprite:
        case DrawFamily::Bar:
        case DrawFamily::Text:
          if (!land(e, c.x - (im.cw >> 1), c.y - (im.ch >> 1), p)) return false;
          break;
        case DrawFamily::Slider: {
          int n = e.start;
          bool horizontal = e.gap_x >= 1;
          for (int v = 0; v < std::max(n, 1); ++v) {
            int shift = (v - (n >> 1)) * (horizontal ? e.gap_x : e.gap_y);
            int x = c.x + (horizontal ? shift : 0), y = c.y + (horizontal ? 0 : shift);
            if (!land(e, x - (im.cw >> 1), y - (im.ch >> 1), p)) return false;
          }
          break;
        }
        case DrawFamily::Number: {
          std::vector<int> counts;
          if (im.kind == 0) {
            int v = p + e.start;
            if (v != 0 || e.start == 0) counts.push_back(digit_count(v));
          } else if (im.kind == 1 || im.kind == 2) {
            counts.push_back(e.repeat);
          } else {
            for (int n = 1; n <= std::max(im.digits, 1); ++n) counts.push_back(n);
          }
          Centre b = layout.base(e, p);
          for (int n : counts) {
            int gc = (im.kind == 1 || im.kind == 2) ? e.grid_columns : n;
            int gr = 1;
            if (gc == 0) {
              gc = 1;
            } else {
              gr = ceil_div(e.grid_extra + n, gc);
            }
            int x0 = b.x + e.off_x - ((e.gap_x * (gc - 1) + im.cw * gc) >> 1) + (im.cw >> 1);
            int y0 = b.y + e.off_y - ((e.gap_y * (gr - 1) + im.ch * gr) >> 1) + (im.ch >> 1);
            for (int k = n - 1; k >= 0; --k) {
              int cx = (im.cw + e.gap_x) * (k % gc) + x0;
              int cy = (im.ch + e.gap_y) * (k / gc) + y0;
              if (!land(e, cx - (im.cw >> 1), cy - (im.ch >> 1), p)) return false;
            }
          }
          break;
        }
        default:
          break;
      }
    }
  }
  for (const ImagePlan& im : plan.images) {
    if (!im.drawn && im.family != DrawFamily::None) {
      error = "image " + im.name + " is never drawn";
      return false;
    }
  }
  return true;
}

bool pack_strips(SkinPlan& plan, int& height, std::string& error) {
  const int w = plan.picture_width;
  const int max_rows = int((kFileLimit - 16) / size_t(2 * w));
  // The skyline of used rows per column: the table fills rows 0-21 left of x 512 and the
  // background lies at x 0-319 from row 22.
  const ImagePlan& root = plan.images[0];
  std::vector<int> top(size_t(w), 0);
  for (int x = 0; x < w; ++x) {
    if (x < root.cw) {
      top[size_t(x)] = kTableRows + root.ch;
    } else if (x < kTableBytesPerRow / 2) {
      top[size_t(x)] = kTableRows;
    }
  }
  plan.images[0].sx = 0;
  plan.images[0].sy = kTableRows;
  std::vector<size_t> order;
  for (size_t i = 1; i < plan.images.size(); ++i) {
    const ImagePlan& im = plan.images[i];
    if (im.alias.empty() && im.family != DrawFamily::None) order.push_back(i);
  }
  auto area_of = [&](size_t i, int& aw, int& ah) {
    int sx = 0;
    strip_area(plan.images[i], aw, ah, sx);
    return sx;
  };
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    int aw, ah, bw, bh;
    area_of(a, aw, ah);
    area_of(b, bw, bh);
    return ah != bh ? ah > bh : aw > bw;
  });
  for (size_t i : order) {
    int aw = 0, ah = 0;
    int sx_in = area_of(i, aw, ah);
    if (aw > w) {
      error = "image " + plan.images[i].name + " is wider than the picture";
      return false;
    }
    int best_x = -1, best_y = 0;
    for (int x = 0; x + aw <= w; ++x) {
      int y = *std::max_element(top.begin() + x, top.begin() + x + aw);
      if (best_x < 0 || y < best_y) {
        best_x = x;
        best_y = y;
      }
    }
    std::fill(top.begin() + best_x, top.begin() + best_x + aw, best_y + ah);
    plan.images[i].sx = best_x + sx_in;
    plan.images[i].sy = best_y;
  }
  for (ImagePlan& im : plan.images) {
    if (im.alias.empty()) continue;
    for (const ImagePlan& o : plan.images) {
      if (o.name == im.alias) {
        im.sx = o.sx;
        im.sy = o.sy;
      }
    }
  }
  height = *std::max_element(top.begin(), top.end());
  if (height > max_rows) {
    for (size_t i : order) {
      int aw = 0, ah = 0;
      area_of(i, aw, ah);
      std::fprintf(stderr, "  %-16s %4d x %-4d at (%d, %d)\n", plan.images[i].name.c_str(), aw, ah,
                   plan.images[i].sx, plan.images[i].sy);
    }
    error = "the strips need " + std::to_string(height) + " picture rows but a " +
            std::to_string(w) + "-pixel-wide skin file holds at most " + std::to_string(max_rows);
    return false;
  }
  return true;
}

bool render_skin(SkinPlan& plan, int height, Fonts& fonts, std::vector<uint8_t>& file,
                 std::string& error) {
  const int w = plan.picture_width;
  std::vector<uint16_t> picture(size_t(w) * size_t(height), 0x8010);
  for (const ImagePlan& im : plan.images) {
    if (!im.alias.empty() || im.family == DrawFamily::None) continue;
    ArtRequest request{im.art, *im.attrs, plan.palette, fonts,  im.cw,
                       im.ch,  im.cols,   im.rows,      im.step};
    Rgba backdrop = backdrop_of(request);
    auto paint = [&](RegionKind kind, int col, int row, int rw, int rh, int x, int y) {
      Canvas canvas(rw, rh);
      if (!paint_region(request, kind, col, row, canvas, error)) {
        error = "image " + im.name + ": " + error;
        return false;
      }
      encode_region(canvas, im.dest_parity, backdrop, picture, w, x, y);
      return true;
    };
    int rows = im.rows + (im.guard ? 1 : 0);
    switch (im.family) {
      case DrawFamily::Background:
        if (!paint(RegionKind::Background, 0, 0, im.cw, im.ch, 0, im.sy)) return false;
        break;
      case DrawFamily::Sprite:
        if (has_highlight(im) &&
            !paint(RegionKind::Highlight, 0, 0, im.cw, im.ch, im.sx - im.cw, im.sy)) {
          return false;
        }
        for (int r = 0; r < rows; ++r) {
          for (int c = 0; c < im.cols; ++c) {
            if (r >= im.rows) {
              Canvas clear(im.cw, im.ch);
              encode_region(clear, im.dest_parity, backdrop, picture, w, im.sx + im.cw * c + 1,
                            im.sy + im.ch * r);
              continue;
            }
            if (!paint(RegionKind::Cell, c, r, im.cw, im.ch, im.sx + im.cw * c + 1,
                       im.sy + im.ch * r)) {
              return false;
            }
          }
        }
        break;
      case DrawFamily::Number:
        for (int r = 0; r < im.rows; ++r) {
          for (int c = 0; c < im.cols; ++c) {
            if (!paint(RegionKind::Cell, c, r, im.cw, im.ch, im.sx + im.cw * c, im.sy + im.ch * r))
              return false;
          }
        }
        break;
      case DrawFamily::Text:
        for (int c = 0; c < im.cols; ++c) {
          if (!paint(RegionKind::Cell, c, 0, im.cw, im.ch, im.sx + im.cw * c + 1, im.sy))
            return false;
        }
        break;
      case DrawFamily::Slider:
        if (!paint(RegionKind::Cell, 0, 0, im.cw, im.ch, im.sx + 1, im.sy)) return false;
        break;
      case DrawFamily::Bar:
        if (!paint(RegionKind::BarWindow, 0, 0, 2 * im.cw, im.ch, im.sx - im.cw + 1, im.sy))
          return false;
        break;
      default:
        break;
    }
  }

  // The skin table.
  std::vector<uint8_t> table(size_t(kTableRows) * kTableBytesPerRow, 0);
  put_i16(table, 8, int(plan.images.size()));
  put_i16(table, 10, int(plan.elements.size()));
  for (size_t i = 0; i < plan.images.size(); ++i) {
    const ImagePlan& im = plan.images[i];
    size_t at = 100 + 100 * i;
    put_name(table, at, im.name);
    const int fields[] = {im.cw,   im.ch,   im.sx,   im.sy,    im.cols,
                          im.rows, im.step, im.kind, im.param, im.level};
    for (size_t k = 0; k < 10; ++k) put_i16(table, at + 16 + 2 * k, fields[k]);
  }
  for (size_t j = 0; j < plan.elements.size(); ++j) {
    const ElementPlan& e = plan.elements[j];
    size_t at = 6500 + 164 * j;
    put_name(table, at, e.name);
    put_name(table, at + 16, e.image);
    put_name(table, at + 32, e.parent);
    put_i16(table, at + 48, e.off_x);
    put_i16(table, at + 50, e.off_y);
    put_i16(table, at + 52, e.repeat);
    put_i16(table, at + 56, e.arrangement);
    put_i16(table, at + 58, e.radius);
    put_i16(table, at + 60, e.gap_x);
    put_i16(table, at + 62, e.gap_y);
    table[at + 64] = uint8_t(int8_t(e.grid_columns));
    table[at + 65] = uint8_t(int8_t(e.grid_extra));
    put_i16(table, at + 66, e.start);
    put_name(table, at + 68, e.source);
    put_name(table, at + 84, e.target);
  }

  file.assign(16 + size_t(w) * size_t(height) * 2, 0);
  put_i16(file, 2, w / 2);
  for (size_t k = 0; k < picture.size(); ++k) {
    file[16 + 2 * k] = uint8_t(picture[k] & 0xFF);
    file[16 + 2 * k + 1] = uint8_t(picture[k] >> 8);
  }
  for (int row = 0; row < kTableRows; ++row) {
    std::memcpy(file.data() + 16 + size_t(row) * size_t(2 * w),
                table.data() + size_t(row) * kTableBytesPerRow, kTableBytesPerRow);
  }
  if (file.size() > kFileLimit) {
    error = "the skin file would be " + std::to_string(file.size()) + " bytes, over 2,097,152";
    return false;
  }
  return true;
}

}  // namespace skinbuilder
