// Reading the control's parameters out of the DVR's web page, and from the command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessomar::shell {

struct PageParam {
  std::string name;
  std::string value;
};

struct PageParseResult {
  bool ok = false;
  std::string error;  // human-readable, with a line number where one helps
  std::vector<PageParam> params;
};

// Takes the <param name=... value=...> children of the first <object> element (up to its
// </object>, or the end of the document). Params outside any object, inside a nested object,
// inside comments or inside <script>/<style> are ignored. Params come back in document order
// with duplicates kept: applied in turn, later ones override earlier ones as the control's
// property puts would. A param without a value attribute has an empty value.
PageParseResult parse_page_params(std::string_view html);

// Reads "NAME=VALUE" (split at the first '='; NAME must not be empty, VALUE may be).
bool parse_param_option(std::string_view text, PageParam& out, std::string& error);

// DVRIP, HTTP_PORT, DVR_UK or HTTP_PAGE in any letter case.
bool is_control_property(std::string_view name);
// The upper-case spelling of a control property; empty when the name is not one.
std::string canonical_property_name(std::string_view name);

}  // namespace tessomar::shell
