// The skin description: a text file of statements, one per line, each a keyword, a name and
// key=value pairs. A line that starts with blanks continues the statement above; '#' and a blank
// start a comment outside quotes; values with blanks are written in double quotes.
//
//   colour accent #2f7cf6
//   image Tabs cell=70x32 strip=6x2 step=3 level=1
//        art=keys labels="Live|Playback|Backup|Setup"
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skinbuilder {

struct Statement {
  std::string keyword;
  std::string name;
  std::string value;  // the rest of a colour statement
  std::map<std::string, std::string> values;
  int line = 0;

  bool has(const std::string& key) const { return values.count(key) != 0; }
  std::string get(const std::string& key, const std::string& fallback = "") const;
};

// Splits the description into statements; false with "line N: reason" on a malformed line.
bool parse_description(std::string_view text, std::vector<Statement>& out, std::string& error);

// "12" -> 12; "-4" -> -4; nothing else.
std::optional<int> parse_int(std::string_view text);
// "70x32" or "12,-4" -> two integers.
std::optional<std::pair<int, int>> parse_pair(std::string_view text, char separator);
// "a|b|c" -> {"a", "b", "c"}.
std::vector<std::string> split_list(std::string_view text, char separator = '|');

}  // namespace skinbuilder
