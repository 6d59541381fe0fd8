// The dispatch value type of the control's properties: empty, a string or an integer.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tessomar::platform {

class Variant {
 public:
  enum class Kind { Empty, String, Integer };

  Variant() = default;
  static Variant from_string(std::string s) { return Variant(std::move(s)); }
  static Variant from_int(int32_t v) { return Variant(v); }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool empty() const { return kind() == Kind::Empty; }
  const std::string* string_value() const { return std::get_if<std::string>(&value_); }
  const int32_t* int_value() const { return std::get_if<int32_t>(&value_); }
  // Text form: the string itself, the decimal integer, or "" when empty.
  std::string to_text() const;

  bool operator==(const Variant&) const = default;

 private:
  explicit Variant(std::string s) : value_(std::move(s)) {}
  explicit Variant(int32_t v) : value_(v) {}
  std::variant<std::monostate, std::string, int32_t> value_;
};

}  // namespace tessomar::platform
