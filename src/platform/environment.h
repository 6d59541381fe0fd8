// Environment variables and the file-system probe the control uses at start-up.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tessomar::platform {

class Environment {
 public:
  virtual ~Environment() = default;
  virtual std::optional<std::string> get(std::string_view name) const = 0;
};

// The process environment.
class SystemEnvironment final : public Environment {
 public:
  std::optional<std::string> get(std::string_view name) const override;
};

// A fixed set of variables (tests, hosts that want to pin values).
class MapEnvironment final : public Environment {
 public:
  MapEnvironment() = default;
  explicit MapEnvironment(std::map<std::string, std::string, std::less<>> vars)
      : vars_(std::move(vars)) {}
  std::optional<std::string> get(std::string_view name) const override;
  void set(std::string name, std::string value) { vars_[std::move(name)] = std::move(value); }
  void unset(std::string_view name);

 private:
  std::map<std::string, std::string, std::less<>> vars_;
};

// True when the path opens for reading (fopen "rb"), the way the control probes folders.
bool path_opens_for_reading(const std::string& path);

}  // namespace tessomar::platform
