#include "platform/environment.h"

#include <cstdio>
#include <cstdlib>

namespace tessomar::platform {

std::optional<std::string> SystemEnvironment::get(std::string_view name) const {
  const char* v = std::getenv(std::string(name).c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> MapEnvironment::get(std::string_view name) const {
  auto it = vars_.find(name);
  if (it == vars_.end()) return std::nullopt;
  return it->second;
}

void MapEnvironment::unset(std::string_view name) {
  auto it = vars_.find(name);
  if (it != vars_.end()) vars_.erase(it);
}

bool path_opens_for_reading(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

}  // namespace tessomar::platform
