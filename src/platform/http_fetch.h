// A blocking HTTP/1.0 GET for fetching the DVR's web page (hosts only, never the tick).
#pragma once

#include <string>
#include <string_view>

#include "platform/socket.h"

namespace tessomar::platform {

struct UrlParts {
  std::string host;
  int port = 80;
  std::string path = "/";
};

// Parses "http://host[:port][/path]" (an IPv6 host in brackets: "http://[::1]:8080/");
// false with a message otherwise.
bool parse_http_url(std::string_view url, UrlParts& out, std::string& error);

// Fetches the body of a 200 reply within timeout_ms, trying each address of the host in
// turn; false with a message otherwise ("cannot resolve HOST" for a name that does not
// resolve).
bool http_get(std::string_view url, int timeout_ms, std::string& body, std::string& error);
// The same with another name resolution (tests of address order).
bool http_get(std::string_view url, int timeout_ms, std::string& body, std::string& error,
              const Resolver& resolve);

}  // namespace tessomar::platform
