#include "ddns/noip_service.h"

namespace tessomar::ddns {

namespace {

bool host_char_ok(char ch) {
  const auto u = static_cast<unsigned char>(ch);
  return u > 0x20 && u < 0x7F && ch != '/' && ch != '[' && ch != ']' && ch != '@';
}

}  // namespace

bool parse_noip_service(std::string_view text, NoipConfig& config, std::string& error) {
  std::string_view host = text;
  std::string_view port;
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
      error = "no ']' after the IPv6 address";
      return false;
    }
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') {
        error = "expected ':' and a port after ']'";
        return false;
      }
      port = rest.substr(1);
      if (port.empty()) {
        error = "empty port";
        return false;
      }
    }
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      if (text.find(':', colon + 1) != std::string_view::npos) {
        error = "an IPv6 address needs brackets: [ADDRESS]:PORT";
        return false;
      }
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
      if (port.empty()) {
        error = "empty port";
        return false;
      }
    }
  }
  if (host.empty()) {
    error = "empty host";
    return false;
  }
  for (char ch : host) {
    if (!host_char_ok(ch) && !(ch == ':' && text.starts_with('['))) {
      error = "bad character in the host";
      return false;
    }
  }
  int number = 80;
  if (!port.empty()) {
    if (port.size() > 5) {
      error = "port out of range";
      return false;
    }
    number = 0;
    for (char ch : port) {
      if (ch < '0' || ch > '9') {
        error = "the port is not a number";
        return false;
      }
      number = number * 10 + (ch - '0');
    }
    if (number < 1 || number > 65535) {
      error = "port out of range";
      return false;
    }
  }
  config.host = std::string(host);
  config.port = number;
  return true;
}

}  // namespace tessomar::ddns
