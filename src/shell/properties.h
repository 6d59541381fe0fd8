// The control's four page properties (DVRIP, HTTP_PORT, DVR_UK, HTTP_PAGE), its stock
// dispatch properties and events, and persistence of the property map through a
// property bag.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"

namespace tessomar::shell {

using platform::Variant;

enum Dispid : int32_t {
  kDispidDVRIP = 16,
  kDispidHTTP_PORT = 17,
  kDispidDVR_UK = 18,
  kDispidHTTP_PAGE = 19,
};

struct DispatchEntry {
  const char* name;
  int32_t dispid;
  bool read_only;
};

// The stock properties of the form, with their dispatch ids; no control-specific behaviour.
extern const DispatchEntry kStockProperties[19];
// The four properties of the control.
extern const DispatchEntry kControlProperties[4];

struct EventEntry {
  const char* name;
  int32_t dispid;
};
// The form's stock events; the control fires none of its own.
extern const EventEntry kStockEvents[8];

constexpr const char* kProgId = "TessomarProj1.TessomarX";
constexpr const char* kTypeLibrary = "TessomarProj1";

// Dispatch id of a control property by name (case-insensitive), or nothing.
std::optional<int32_t> property_dispid(std::string_view name);
const char* property_name(int32_t dispid);

// Result of a put: an HRESULT-like success flag and the error description on failure.
struct PutResult {
  bool ok = true;
  std::string error;  // "'%s' is not a valid integer value"
};

// Process-wide in the original; one instance per control context here.
class ControlProperties {
 public:
  // put: text copy first, then (HTTP_PAGE) the integer conversion that may fail and leave
  // the stored value and the counter alone, then the stored copy and the counter.
  PutResult put(int32_t dispid, const Variant& value);
  // A copy of the stored value; empty before the first successful put.
  Variant get(int32_t dispid) const;

  const std::string& text(int32_t dispid) const;
  const std::string& dvrip_text() const { return text(kDispidDVRIP); }
  const std::string& http_port_text() const { return text(kDispidHTTP_PORT); }
  const std::string& dvr_uk_text() const { return text(kDispidDVR_UK); }
  const std::string& http_page_text() const { return text(kDispidHTTP_PAGE); }
  int32_t http_page_number() const { return http_page_number_; }
  int32_t property_put_count() const { return property_put_count_; }

 private:
  static int index_of(int32_t dispid);

  Variant stored_[4];
  std::string text_[4];
  int32_t http_page_number_ = 0;
  int32_t property_put_count_ = 0;
};

// The platform's integer conversion: optional blanks, optional sign, decimal digits (or
// "$"/"0x" hexadecimal), nothing else; false on anything else or on overflow.
bool text_to_int32(std::string_view text, int32_t& out);
std::string integer_conversion_error(std::string_view text);

// The C library's decimal conversion used for the port: leading blanks and a sign allowed,
// stops at the first non-digit, 0 when there are no digits.
int32_t c_decimal_value(std::string_view text);

// A property bag: named values in the order they were written.
class PropertyBag {
 public:
  void write(std::string name, Variant value);
  std::optional<Variant> read(std::string_view name) const;
  const std::vector<std::pair<std::string, Variant>>& entries() const { return entries_; }

  // Text stream form: one "name=kind:value" line per entry, kind s (string), i (integer)
  // or e (empty); string values escape backslash, newline and carriage return.
  void save(std::ostream& out) const;
  // false with a message naming the bad line when the stream is not in that form.
  bool load(std::istream& in, std::string& error);

 private:
  std::vector<std::pair<std::string, Variant>> entries_;
};

// The control's extent, persisted before the four properties.
struct Extent {
  uint32_t cx = 0;
  uint32_t cy = 0;
};

// Saves "_cx", "_cy", then the four properties in dispatch-id order.
void save_property_map(const ControlProperties& props, const Extent& extent, PropertyBag& bag);
// Loads the extent and puts each of the four properties present in the bag through the
// control's put; returns the failures of those puts (empty when all succeeded).
std::vector<std::string> load_property_map(ControlProperties& props, Extent& extent,
                                           const PropertyBag& bag);

}  // namespace tessomar::shell
