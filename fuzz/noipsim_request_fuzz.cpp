// Feeds arbitrary bytes to the No-IP stand-in as one request: parsing, the signature checks
// and the handlers must answer with a reply, never crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "noipsim/service.h"

using namespace tessomar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static noipsim::Service service(noipsim::ServiceConfig{}, [] { return int64_t(1796940212); });
  const std::string reply =
      service.reply_to(std::string_view(reinterpret_cast<const char*>(data), size));
  if (reply.rfind("HTTP/1.1 ", 0) != 0) __builtin_trap();
  return 0;
}
