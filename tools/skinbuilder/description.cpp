#include "description.h"

#include <cctype>

namespace skinbuilder {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The words of one statement: bare words, key=value and key="quoted value".
bool split_words(std::string_view text, std::vector<std::string>& words, std::string& error) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_blank(text[i])) ++i;
    // A comment is a '#' followed by a blank; "#Vout" and "#2f7cf6" are words.
    if (i >= text.size() || (text[i] == '#' && (i + 1 == text.size() || is_blank(text[i + 1])))) {
      break;
    }
    std::string word;
    while (i < text.size() && !is_blank(text[i])) {
      if (text[i] == '"') {
        size_t end = text.find('"', i + 1);
        if (end == std::string_view::npos) {
          error = "unterminated quote";
          return false;
        }
        word.append(text.substr(i + 1, end - i - 1));
        i = end + 1;
      } else {
        word.push_back(text[i++]);
      }
    }
    words.push_back(std::move(word));
  }
  return true;
}

bool finish(const std::string& text, int line, std::vector<Statement>& out, std::string& error) {
  std::vector<std::string> words;
  std::string reason;
  if (!split_words(text, words, reason)) {
    error = "line " + std::to_string(line) + ": " + reason;
    return false;
  }
  if (words.empty()) return true;
  Statement s;
  s.line = line;
  s.keyword = words[0];
  if (words.size() < 2) {
    error = "line " + std::to_string(line) + ": '" + s.keyword + "' needs a name";
    return false;
  }
  s.name = words[1];
  for (size_t k = 2; k < words.size(); ++k) {
    size_t eq = words[k].find('=');
    if (eq == std::string::npos || eq == 0) {
      if (!s.value.empty()) s.value += ' ';
      s.value += words[k];
      continue;
    }
    std::string key = words[k].substr(0, eq);
    if (s.values.count(key)) {
      error = "line " + std::to_string(line) + ": '" + key + "' given twice";
      return false;
    }
    s.values[key] = words[k].substr(eq + 1);
  }
  out.push_back(std::move(s));
  return true;
}

}  // namespace

std::string Statement::get(const std::string& key, const std::string& fallback) const {
  auto it = values.find(key);
  return it == values.end() ? fallback : it->second;
}

bool parse_description(std::string_view text, std::vector<Statement>& out, std::string& error) {
  std::string pending;
  int pending_line = 0;
  int line_number = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    ++line_number;
    pos = end + 1;
    size_t first = 0;
    while (first < line.size() && is_blank(line[first])) ++first;
    bool empty = first == line.size() ||
                 (line[first] == '#' && (first + 1 == line.size() || is_blank(line[first + 1])));
    if (empty) {
      if (end == text.size()) break;
      continue;
    }
    if (first > 0 && !pending.empty()) {
      pending += ' ';
      pending.append(line);
    } else if (first > 0) {
      error = "line " + std::to_string(line_number) + ": continuation without a statement";
      return false;
    } else {
      if (!pending.empty() && !finish(pending, pending_line, out, error)) return false;
      pending.assign(line);
      pending_line = line_number;
    }
    if (end == text.size()) break;
  }
  if (!pending.empty() && !finish(pending, pending_line, out, error)) return false;
  return true;
}

std::optional<int> parse_int(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  size_t i = 0;
  bool negative = text[0] == '-';
  if (negative) ++i;
  if (i == text.size()) return std::nullopt;
  int v = 0;
  for (; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    v = v * 10 + (text[i] - '0');
  }
  return negative ? -v : v;
}

std::optional<std::pair<int, int>> parse_pair(std::string_view text, char separator) {
  size_t at = text.find(separator);
  if (at == std::string_view::npos) return std::nullopt;
  auto a = parse_int(text.substr(0, at));
  auto b = parse_int(text.substr(at + 1));
  if (!a || !b) return std::nullopt;
  return std::make_pair(*a, *b);
}

std::vector<std::string> split_list(std::string_view text, char separator) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (true) {
    size_t at = text.find(separator, pos);
    out.emplace_back(text.substr(pos, at == std::string_view::npos ? at : at - pos));
    if (at == std::string_view::npos) break;
    pos = at + 1;
  }
  return out;
}

}  // namespace skinbuilder
