#include "shell/properties.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <sstream>

namespace tessomar::shell {

const DispatchEntry kStockProperties[19] = {
    {"Visible", 1, false},       {"AutoScroll", 2, false},
    {"AutoSize", 3, false},      {"AxBorderStyle", 4, false},
    {"BorderWidth", 5, false},   {"Caption", -518, false},
    {"Color", -501, false},      {"Font", -512, false},
    {"KeyPreview", 6, false},    {"PixelsPerInch", 7, false},
    {"PrintScale", 8, false},    {"Scaled", 9, false},
    {"Active", 10, true},        {"DropTarget", 11, false},
    {"HelpFile", 12, false},     {"DoubleBuffered", 13, false},
    {"AlignDisabled", 14, true}, {"VisibleDockClientCount", 15, true},
    {"Enabled", -514, false},
};

const DispatchEntry kControlProperties[4] = {
    {"DVRIP", kDispidDVRIP, false},
    {"HTTP_PORT", kDispidHTTP_PORT, false},
    {"DVR_UK", kDispidDVR_UK, false},
    {"HTTP_PAGE", kDispidHTTP_PAGE, false},
};

const EventEntry kStockEvents[8] = {
    {"OnActivate", 1}, {"OnClick", 2},      {"OnCreate", 3},    {"OnDblClick", 5},
    {"OnDestroy", 6},  {"OnDeactivate", 7}, {"OnKeyPress", 11}, {"OnPaint", 16},
};

namespace {
bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
}  // namespace

std::optional<int32_t> property_dispid(std::string_view name) {
  for (const auto& e : kControlProperties) {
    if (iequals(e.name, name)) return e.dispid;
  }
  return std::nullopt;
}

const char* property_name(int32_t dispid) {
  for (const auto& e : kControlProperties) {
    if (e.dispid == dispid) return e.name;
  }
  return "";
}

int ControlProperties::index_of(int32_t dispid) {
  return (dispid >= kDispidDVRIP && dispid <= kDispidHTTP_PAGE) ? dispid - kDispidDVRIP : -1;
}

const std::string& ControlProperties::text(int32_t dispid) const {
  static const std::string kNone;
  int i = index_of(dispid);
  return i < 0 ? kNone : text_[i];
}

PutResult ControlProperties::put(int32_t dispid, const Variant& value) {
  int i = index_of(dispid);
  if (i < 0) return {false, "unknown property"};
  // Non-string values are taken in their text form.
  text_[i] = value.to_text();
  if (dispid == kDispidHTTP_PAGE) {
    int32_t n = 0;
    if (!text_to_int32(text_[i], n)) return {false, integer_conversion_error(text_[i])};
    http_page_number_ = n;
  }
  stored_[i] = value;
  ++property_put_count_;
  return {};
}

Variant ControlProperties::get(int32_t dispid) const {
  int i = index_of(dispid);
  return i < 0 ? Variant() : stored_[i];
}

bool text_to_int32(std::string_view text, int32_t& out) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    int d;
    char c = text[i];
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      d = std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    } else {
      return false;
    }
    v = v * base + d;
    if (v > int64_t(INT32_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  out = static_cast<int32_t>(v);
  return true;
}

std::string integer_conversion_error(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

int32_t c_decimal_value(std::string_view text) {
  std::string s(text);
  return static_cast<int32_t>(std::strtol(s.c_str(), nullptr, 10));
}

void PropertyBag::write(std::string name, Variant value) {
  for (auto& e : entries_) {
    if (e.first == name) {
      e.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(name), std::move(value));
}

std::optional<Variant> PropertyBag::read(std::string_view name) const {
  for (const auto& e : entries_) {
    if (e.first == name) return e.second;
  }
  return std::nullopt;
}

namespace {
std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

bool unescape(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}
}  // namespace

void PropertyBag::save(std::ostream& out) const {
  for (const auto& [name, v] : entries_) {
    out << name << '=';
    switch (v.kind()) {
      case Variant::Kind::Empty:
        out << "e:";
        break;
      case Variant::Kind::String:
        out << "s:" << escape(*v.string_value());
        break;
      case Variant::Kind::Integer:
        out << "i:" << *v.int_value();
        break;
    }
    out << '\n';
  }
}

bool PropertyBag::load(std::istream& in, std::string& error) {
  std::vector<std::pair<std::string, Variant>> loaded;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    size_t eq = line.find('=');
    auto bad = [&](const char* why) {
      error = "property bag line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (eq == std::string::npos || eq == 0) return bad("expected name=kind:value");
    std::string name = line.substr(0, eq);
    std::string_view rest = std::string_view(line).substr(eq + 1);
    if (rest.size() < 2 || rest[1] != ':') return bad("expected a kind e:, s: or i:");
    std::string_view body = rest.substr(2);
    Variant v;
    if (rest[0] == 'e') {
      if (!body.empty()) return bad("an empty value carries no text");
    } else if (rest[0] == 's') {
      std::string text;
      if (!unescape(body, text)) return bad("bad escape in string value");
      v = Variant::from_string(std::move(text));
    } else if (rest[0] == 'i') {
      int32_t n = 0;
      if (!text_to_int32(body, n)) return bad("bad integer value");
      v = Variant::from_int(n);
    } else {
      return bad("unknown kind");
    }
    loaded.emplace_back(std::move(name), std::move(v));
  }
  entries_ = std::move(loaded);
  return true;
}

void save_property_map(const ControlProperties& props, const Extent& extent, PropertyBag& bag) {
  bag.write("_cx", Variant::from_int(static_cast<int32_t>(extent.cx)));
  bag.write("_cy", Variant::from_int(static_cast<int32_t>(extent.cy)));
  for (const auto& e : kControlProperties) bag.write(e.name, props.get(e.dispid));
}

std::vector<std::string> load_property_map(ControlProperties& props, Extent& extent,
                                           const PropertyBag& bag) {
  std::vector<std::string> failures;
  if (auto cx = bag.read("_cx"); cx && cx->int_value()) extent.cx = uint32_t(*cx->int_value());
  if (auto cy = bag.read("_cy"); cy && cy->int_value()) extent.cy = uint32_t(*cy->int_value());
  for (const auto& e : kControlProperties) {
    auto v = bag.read(e.name);
    // A property that was never set is saved empty; loading it must not count as a put.
    if (!v || v->empty()) continue;
    PutResult r = props.put(e.dispid, *v);
    if (!r.ok) failures.push_back(std::string(e.name) + ": " + r.error);
  }
  return failures;
}

}  // namespace tessomar::shell
