#include "shell/page_params.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessomar::shell {
namespace {

constexpr std::array<std::string_view, 4> kControlProperties = {"DVRIP", "HTTP_PORT", "DVR_UK",
                                                                "HTTP_PAGE"};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_with_ci(std::string_view text, size_t at, std::string_view prefix) {
  return text.size() - at >= prefix.size() && iequals(text.substr(at, prefix.size()), prefix);
}

size_t line_of(std::string_view text, size_t offset) {
  size_t line = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') ++line;
  }
  return line;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Numeric reference body after "&#": decimal or x-hex digits. A zero, a surrogate or a value
// beyond Unicode is refused so that the reference stays literal (the values become C strings).
std::optional<uint32_t> numeric_reference(std::string_view body) {
  uint32_t base = 10;
  if (!body.empty() && (body[0] == 'x' || body[0] == 'X')) {
    base = 16;
    body.remove_prefix(1);
  }
  if (body.empty() || body.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : body) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = uint32_t(c - '0');
    } else if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f') {
      digit = uint32_t(lower(c) - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
  }
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
  return value;
}

// Unknown or malformed references are kept as they stand, as browsers do.
std::string decode_entities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    const size_t semi = text.find(';', i + 1);
    if (semi == std::string_view::npos || semi - i > 12) {
      out += text[i++];
      continue;
    }
    const std::string_view body = text.substr(i + 1, semi - i - 1);
    std::optional<uint32_t> cp;
    if (body == "amp")
      cp = '&';
    else if (body == "lt")
      cp = '<';
    else if (body == "gt")
      cp = '>';
    else if (body == "quot")
      cp = '"';
    else if (body == "apos")
      cp = '\'';
    else if (!body.empty() && body[0] == '#')
      cp = numeric_reference(body.substr(1));
    if (!cp) {
      out += text[i++];
      continue;
    }
    append_utf8(out, *cp);
    i = semi + 1;
  }
  return out;
}

struct Attribute {
  std::string_view name;
  std::string_view raw_value;
  bool has_value = false;
};

struct Tag {
  std::string_view name;  // as written
  bool closing = false;
  bool self_closing = false;
  size_t start = 0;  // offset of '<'
  std::vector<Attribute> attributes;

  const Attribute* find(std::string_view attribute) const {
    for (const Attribute& a : attributes) {  // the first of duplicates wins, as in browsers
      if (iequals(a.name, attribute)) return &a;
    }
    return nullptr;
  }
};

class PageScanner {
 public:
  explicit PageScanner(std::string_view html) : html_(html) {}

  PageParseResult run() {
    PageParseResult result;
    bool in_object = false;
    size_t object_start = 0;
    int depth = 0;  // object nesting inside the first object
    Tag tag;
    while (next_tag(tag)) {
      if (!iequals(tag.name, "object") && !iequals(tag.name, "param")) continue;
      const bool is_object = iequals(tag.name, "object");
      if (!in_object) {
        if (!is_object || tag.closing) continue;
        in_object = true;
        object_start = tag.start;
        depth = 1;
        if (tag.self_closing) break;
        continue;
      }
      if (is_object) {
        if (tag.closing) {
          if (--depth == 0) break;
        } else if (!tag.self_closing) {
          ++depth;
        }
        continue;
      }
      if (tag.closing || depth != 1) continue;
      const Attribute* name = tag.find("name");
      if (name == nullptr || !name->has_value || name->raw_value.empty()) {
        result.error = "<param> at line " + std::to_string(line_of(html_, tag.start)) +
                       " has no name attribute";
        return result;
      }
      PageParam param;
      param.name = decode_entities(name->raw_value);
      if (const Attribute* value = tag.find("value"); value != nullptr && value->has_value) {
        param.value = decode_entities(value->raw_value);
      }
      result.params.push_back(std::move(param));
    }
    if (!error_.empty()) {
      result.error = error_;
      return result;
    }
    if (!in_object) {
      result.error = "no <object> element in the page";
      return result;
    }
    if (result.params.empty()) {
      result.error = "the <object> element at line " +
                     std::to_string(line_of(html_, object_start)) + " has no <param> children";
      return result;
    }
    result.ok = true;
    return result;
  }

 private:
  void fail(std::string message) { error_ = std::move(message); }
  std::string at_line(size_t offset) const { return std::to_string(line_of(html_, offset)); }

  // Advances to the next start or end tag; false at the end of the document or on an error.
  bool next_tag(Tag& tag) {
    while (pos_ < html_.size()) {
      const size_t lt = html_.find('<', pos_);
      if (lt == std::string_view::npos) break;
      pos_ = lt;
      if (starts_with_ci(html_, lt, "<!--")) {
        const size_t end = html_.find("-->", lt + 4);
        if (end == std::string_view::npos) {
          fail("unterminated HTML comment starting at line " + at_line(lt));
          return false;
        }
        pos_ = end + 3;
        continue;
      }
      if (lt + 1 < html_.size() && (html_[lt + 1] == '!' || html_[lt + 1] == '?')) {
        const size_t end = html_.find('>', lt + 2);
        if (end == std::string_view::npos) {
          fail("unterminated markup declaration starting at line " + at_line(lt));
          return false;
        }
        pos_ = end + 1;
        continue;
      }
      const bool closing = lt + 1 < html_.size() && html_[lt + 1] == '/';
      const size_t name_start = lt + (closing ? 2 : 1);
      if (name_start >= html_.size() || !is_alpha(html_[name_start])) {
        pos_ = lt + 1;  // a lone '<' is text
        continue;
      }
      if (!read_tag(lt, closing, name_start, tag)) return false;
      if (!closing && !tag.self_closing &&
          (iequals(tag.name, "script") || iequals(tag.name, "style"))) {
        if (!skip_raw_text(tag.name, lt)) return false;
      }
      return true;
    }
    pos_ = html_.size();
    return false;
  }

  bool read_tag(size_t lt, bool closing, size_t name_start, Tag& tag) {
    tag = Tag{};
    tag.start = lt;
    tag.closing = closing;
    size_t i = name_start;
    while (i < html_.size() && !is_space(html_[i]) && html_[i] != '>' && html_[i] != '/') ++i;
    tag.name = html_.substr(name_start, i - name_start);
    auto unterminated = [&] {
      fail("unterminated <" + std::string(closing ? "/" : "") + std::string(tag.name) +
           "> tag starting at line " + at_line(lt));
      return false;
    };
    for (;;) {
      while (i < html_.size() && is_space(html_[i])) ++i;
      if (i >= html_.size()) return unterminated();
      const char c = html_[i];
      if (c == '>') {
        pos_ = i + 1;
        return true;
      }
      if (c == '/') {
        if (i + 1 < html_.size() && html_[i + 1] == '>') {
          tag.self_closing = true;
          pos_ = i + 2;
          return true;
        }
        ++i;  // stray slash between attributes
        continue;
      }
      Attribute attribute;
      const size_t attr_start = i;
      while (i < html_.size() && !is_space(html_[i]) && html_[i] != '>' && html_[i] != '/' &&
             html_[i] != '=') {
        ++i;
      }
      if (i == attr_start) ++i;  // a '=' with no name before it: skip it
      attribute.name = html_.substr(attr_start, i - attr_start);
      size_t j = i;
      while (j < html_.size() && is_space(html_[j])) ++j;
      if (j < html_.size() && html_[j] == '=') {
        ++j;
        while (j < html_.size() && is_space(html_[j])) ++j;
        if (j >= html_.size()) return unterminated();
        attribute.has_value = true;
        const char q = html_[j];
        if (q == '"' || q == '\'') {
          const size_t close = html_.find(q, j + 1);
          if (close == std::string_view::npos) {
            fail("unterminated attribute quote (" + std::string(1, q) + ") in <" +
                 std::string(tag.name) + "> tag at line " + at_line(j));
            return false;
          }
          attribute.raw_value = html_.substr(j + 1, close - j - 1);
          i = close + 1;
        } else {
          size_t end = j;
          while (end < html_.size() && !is_space(html_[end]) && html_[end] != '>') ++end;
          // "VALUE=80/>" is meant as a self-closing tag, not as the value "80/".
          size_t value_end = end;
          if (end < html_.size() && html_[end] == '>' && end > j && html_[end - 1] == '/') {
            --value_end;
          }
          attribute.raw_value = html_.substr(j, value_end - j);
          i = value_end;
        }
      }
      if (!attribute.name.empty() && attribute.name != "=") tag.attributes.push_back(attribute);
    }
  }

  // The body of <script> or <style> is not markup: an "<object" inside a script string is not
  // the page's object.
  bool skip_raw_text(std::string_view name, size_t start) {
    for (size_t i = pos_; i < html_.size(); ++i) {
      if (html_[i] == '<' && i + 1 < html_.size() && html_[i + 1] == '/' &&
          starts_with_ci(html_, i + 2, name)) {
        pos_ = i;  // the end tag itself is read as an ordinary tag
        return true;
      }
    }
    fail("unterminated <" + std::string(name) + "> element starting at line " + at_line(start));
    return false;
  }

  std::string_view html_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

PageParseResult parse_page_params(std::string_view html) { return PageScanner(html).run(); }

bool parse_param_option(std::string_view text, PageParam& out, std::string& error) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    error = "expected NAME=VALUE, got '" + std::string(text) + "'";
    return false;
  }
  if (eq == 0) {
    error = "parameter name is empty in '" + std::string(text) + "'";
    return false;
  }
  out.name = std::string(text.substr(0, eq));
  out.value = std::string(text.substr(eq + 1));
  return true;
}

bool is_control_property(std::string_view name) {
  for (std::string_view p : kControlProperties) {
    if (iequals(name, p)) return true;
  }
  return false;
}

std::string canonical_property_name(std::string_view name) {
  if (!is_control_property(name)) return {};
  std::string out(name);
  for (char& c : out) c = upper(c);
  return out;
}

}  // namespace tessomar::shell
