// Feeds a text to one of the small text readers, chosen by the first input byte: the page
// fetcher's URL reader, the device time reader, the font pattern reader, the simulated DVR's
// command line (arguments separated by NUL bytes) and the No-IP stand-in's HOST:PORT reader.
// Each taken text must come back out the same way it went in where the reader has a writer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dvrsim/options.h"
#include "noipsim/server.h"
#include "platform/devtime.h"
#include "platform/http_fetch.h"
#include "platform/local_date_time.h"
#include "platform/text.h"

using namespace tessomar;

namespace {

void url(std::string_view text) {
  platform::UrlParts parts;
  std::string error;
  const bool taken = platform::parse_http_url(text, parts, error);
  if (!taken && error.empty()) __builtin_trap();  // a refusal says why
  if (taken && (parts.host.empty() || parts.port < 0 || parts.port > 65535 || parts.path.empty() ||
                parts.path[0] != '/')) {
    __builtin_trap();
  }
}

void time_text(std::string_view text) {
  platform::LocalDateTime d;
  if (!platform::parse_time_text(text, d)) return;
  std::string same(text);
  std::replace(same.begin(), same.begin() + 10, '-', '/');
  if (platform::timeText(platform::seconds_from_date(d)) != same) __builtin_trap();
}

void font(std::string_view text) {
  const auto request = platform::parse_font_pattern(text);
  if (!request) return;
  if (request->family.empty() || request->family.back() == ' ' ||
      request->family.find(':') != std::string::npos) {
    __builtin_trap();
  }
  // The family with the style words of the request reads back as the same request.
  std::string words = request->family;
  if (request->bold) words += ":bold";
  if (request->italic) words += ":italic";
  if (request->underline) words += ":underline";
  if (request->strikeout) words += ":strikeout";
  const auto again = platform::parse_font_pattern(words);
  if (!again || *again != *request) __builtin_trap();
}

void dvrsim_options(std::string_view text) {
  std::vector<std::string_view> args;
  size_t at = 0;
  while (at <= text.size() && args.size() < 32) {
    const size_t end = std::min(text.find('\0', at), text.size());
    args.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  // Options that read files are left to the tests.
  for (std::string_view a : args) {
    if (a == "--data-dir" || a == "--push-titles") return;
  }
  dvrsim::Options options;
  std::string error;
  const dvrsim::ParseStatus s = dvrsim::parse_options(args, options, error);
  if (s == dvrsim::ParseStatus::kError && error.empty()) __builtin_trap();
  if (s == dvrsim::ParseStatus::kRun &&
      (options.user_level < 7 || options.user_level > 9 || options.password.empty())) {
    __builtin_trap();
  }
}

void host_port(std::string_view text) {
  std::string host;
  int port = -1;
  if (noipsim::split_host_port(std::string(text), host, port) && (port < 0 || port > 65535)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 5) {
    case 0:
      url(text);
      break;
    case 1:
      time_text(text);
      break;
    case 2:
      font(text);
      break;
    case 3:
      dvrsim_options(text);
      break;
    default:
      host_port(text);
      break;
  }
  return 0;
}
