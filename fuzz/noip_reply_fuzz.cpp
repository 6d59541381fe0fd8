// Feeds arbitrary bytes to the No-IP client as the reply of every request kind: the element
// reader and each kind's handling must cope with anything the service might send.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ddns/noip_client.h"

using namespace tessomar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static platform::Logger logger;
  static platform::HeadlessDialogs dialogs(logger);
  static ddns::NoipClient client(dialogs, logger, ddns::NoipConfig{}, [] { return int64_t(0); });
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  for (int32_t kind : {ddns::kKindCreateAccount, ddns::kKindCheckUser, ddns::kKindAccountInfo,
                       ddns::kKindListDomains, ddns::kKindCreateHost, ddns::kKindHostCreated}) {
    client.set_kind(kind);
    client.handle_reply(reply);
    if (client.domains().size() > size_t(ddns::kMaxDomains)) __builtin_trap();
  }
  dialogs.clear_messages();
  return 0;
}
