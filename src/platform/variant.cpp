#include "platform/variant.h"

namespace tessomar::platform {

std::string Variant::to_text() const {
  if (auto s = string_value()) return *s;
  if (auto i = int_value()) return std::to_string(*i);
  return {};
}

}  // namespace tessomar::platform
