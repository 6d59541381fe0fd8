// A blocking HTTP/1.0 GET for fetching the DVR's web page (hosts only, never the tick).
#pragma once

#include <string>
#include <string_view>

namespace tessomar::platform {

struct UrlParts {
  std::string host;
  int port = 80;
  std::string path = "/";
};

// Parses "http://host[:port][/path]"; false with a message otherwise.
bool parse_http_url(std::string_view url, UrlParts& out, std::string& error);

// Fetches the body of a 200 reply within timeout_ms; false with a message otherwise.
bool http_get(std::string_view url, int timeout_ms, std::string& body, std::string& error);

}  // namespace tessomar::platform
