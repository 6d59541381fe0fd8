// Feeds arbitrary text to the page parameter scanner and to the property bag reader; a bag
// that loads must save and load back to the same entries.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "shell/page_params.h"
#include "shell/properties.h"

using namespace tessomar::shell;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  PageParseResult page = parse_page_params(text);
  if (page.ok != page.error.empty()) __builtin_trap();
  for (const PageParam& p : page.params) {
    canonical_property_name(p.name);
    is_control_property(p.name);
  }
  PageParam option;
  std::string option_error;
  parse_param_option(text, option, option_error);

  PropertyBag bag;
  std::string error;
  std::istringstream in{std::string(text)};
  if (bag.load(in, error)) {
    std::ostringstream out;
    bag.save(out);
    PropertyBag again;
    std::istringstream back(out.str());
    std::string again_error;
    if (!again.load(back, again_error) || again.entries() != bag.entries()) __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
