// Feeds arbitrary bytes to the simulated DVR's settings file reader and setting checks, and to
// the setup pages' readers of received mail images and typed integers.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dvrsim/settings.h"
#include "setup/setup_tabs.h"

using namespace tessomar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);

  // A file is taken whole or not at all; what was taken writes back the same bytes.
  dvrsim::SettingsStore store;
  const std::vector<uint8_t> factory = store.encode();
  std::string why;
  if (store.decode(in, why)) {
    if (store.encode() != std::vector<uint8_t>(in.begin(), in.end())) __builtin_trap();
  } else {
    if (why.empty() || store.encode() != factory) __builtin_trap();
  }

  for (uint32_t sub_id : {1u, 2u, 4u, 8u, 16u, 32u}) {
    dvrsim::SettingsStore target;
    const bool ok = dvrsim::validate_setting(sub_id, in, why);
    if (target.put(sub_id, in) != ok) __builtin_trap();
  }

  const auto strings = setup::split_mail_strings(in);
  if (strings.size() > size_t(setup::kMailStrings)) __builtin_trap();
  size_t total = 0;
  for (const auto& s : strings) total += s.size() + 1;
  if (!strings.empty() && total > size - 1) __builtin_trap();

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const int port = setup::mail_port_number(text);
  if (port < 0 || port > 65535) __builtin_trap();
  (void)setup::parse_integer(text);
  return 0;
}
