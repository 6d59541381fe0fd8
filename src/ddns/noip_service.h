// The service address as hosts and the environment give it: "host[:port]", the host possibly
// a bracketed IPv6 address ("[::1]:8080"); port 80 when none is given.
#pragma once

#include <string>
#include <string_view>

#include "ddns/noip_client.h"

namespace tessomar::ddns {

// The environment value that points the control's wizard at another service (a stand-in).
constexpr const char* kNoipServiceVariable = "TESSOMAR_NOIP_SERVICE";

// Sets config.host and config.port from the text; false with the reason (config unchanged)
// when the text is not an address.
bool parse_noip_service(std::string_view text, NoipConfig& config, std::string& error);

}  // namespace tessomar::ddns
