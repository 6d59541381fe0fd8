#include <cstdio>

#include "commands.h"
#include "platform/devtime.h"

namespace tessomar::cli {

int cmd_devtime(const Args& args) {
  if (args.size() == 2 && args[0] == "--date") {
    platform::LocalDateTime d;
    if (!platform::parse_time_text(args[1], d)) {
      return usage_error("devtime", "bad date \"" + args[1] +
                                        "\" (expected YYYY/MM/DD hh:mm:ss between 2000 and 2099)");
    }
    std::printf("%u\n", platform::seconds_from_date(d));
    return kExitOk;
  }
  if (args.size() == 1 && !args[0].empty() && args[0][0] != '-') {
    const std::string& s = args[0];
    uint64_t v = 0;
    for (char c : s) {
      if (c < '0' || c > '9' || v > 0xFFFFFFFFull) {
        v = UINT64_MAX;
        break;
      }
      v = v * 10 + uint64_t(c - '0');
    }
    if (v > 0xFFFFFFFFull) {
      return usage_error("devtime", "bad device time \"" + s +
                                        "\" (expected seconds since 2000-01-01, 0 to 4294967295)");
    }
    std::printf("%s\n", platform::timeText(uint32_t(v)).c_str());
    return kExitOk;
  }
  return usage_error(
      "devtime", "usage: tessomar-cli devtime SECONDS | devtime --date \"YYYY/MM/DD hh:mm:ss\"");
}

}  // namespace tessomar::cli
