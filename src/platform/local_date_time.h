// A calendar date and time of day as a clock reads it or as device time names it; no time
// zone. Fields hold what they were given: readers clamp or refuse values out of range.
#pragma once

namespace tessomar::platform {

struct LocalDateTime {
  int year = 2000;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

}  // namespace tessomar::platform
