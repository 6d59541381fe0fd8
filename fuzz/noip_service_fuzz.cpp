// Feeds arbitrary text to the No-IP service address reader: taken texts give a host without
// blanks and a port in range; refused ones leave the configuration as it was.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ddns/noip_service.h"

using namespace tessomar::ddns;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NoipConfig config;
  const NoipConfig before = config;
  std::string error;
  if (parse_noip_service(text, config, error)) {
    if (config.host.empty() || config.port < 1 || config.port > 65535) __builtin_trap();
    if (config.host.find(' ') != std::string::npos) __builtin_trap();
    if (!error.empty()) __builtin_trap();
  } else {
    if (error.empty() || config.host != before.host || config.port != before.port) {
      __builtin_trap();
    }
  }
  return 0;
}
