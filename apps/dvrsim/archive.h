// The simulated DVR's recording archive: which seconds of which camera were recorded.
//
// Nothing is stored; presence is a fixed pattern over device time (seconds since
// 2000-01-01 00:00:00 on the DVR's calendar; day d = t / 86400; days divisible by 7 are
// Sundays, as the calendar's weeks start on them):
//   - the archive covers [start, end]: end is the clock's device time now, start is end
//     minus `days` x 86400 (at least 1); nothing is recorded outside it;
//   - weekend nights: no camera records from 02:00:00 to 04:59:59 on Saturdays and
//     Sundays (d % 7 == 6 or 0);
//   - each camera's own half hour: channel c records nothing from (6 + c):30:00 to
//     (6 + c):59:59 every day (channel 0 at 06:30, channel 15 at 21:30);
//   - channels the device does not have record nothing.
// Everything else is recorded, every frame of every second, so a picture of the archive is
// the picture the live stream showed at that time.
//
//   Archive archive(clock, 16, 14);
//   if (!archive.recorded(3, t)) t = archive.next_recorded(3, t);  // 0: nothing later
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace tessomar::dvrsim {

class Archive {
 public:
  static constexpr uint32_t kDefaultDays = 14;
  static constexpr uint32_t kMaxDays = 3650;
  static constexpr uint32_t kDaySeconds = 86400;
  // The weekend night gap, in seconds of the day.
  static constexpr uint32_t kNightGapFrom = 2 * 3600;
  static constexpr uint32_t kNightGapTo = 5 * 3600;

  // The clock gives "now" (its local time on the DVR's calendar) and must outlive the
  // archive. channel_count: cameras of the device (at most 16); days: 1 to kMaxDays.
  Archive(const platform::Clock& clock, uint32_t channel_count, uint32_t days = kDefaultDays);

  uint32_t days() const { return days_; }
  // The archive's last second: the clock's device time now.
  uint32_t end() const;
  // Its first second.
  uint32_t start() const { return start_for(end()); }

  // Whether channel `channel` recorded second t.
  bool recorded(uint32_t channel, uint32_t t) const;
  // The first recorded second at or after t; 0 when there is none up to now.
  uint32_t next_recorded(uint32_t channel, uint32_t t) const;
  // The last recorded second at or before t; 0 when there is none.
  uint32_t previous_recorded(uint32_t channel, uint32_t t) const;
  // Whether any second in [from, to) was recorded (a calendar's presence flag).
  bool any_recorded(uint32_t channel, uint32_t from, uint32_t to) const;

  // The gap pattern alone, without the archive's bounds: whether channel c recorded t had
  // the archive no ends.
  static bool in_pattern(uint32_t channel, uint32_t t);
  // First second of the channel's half-hour gap, in seconds of the day.
  static constexpr uint32_t channel_gap_from(uint32_t channel) {
    return (6 + (channel & 15)) * 3600 + 1800;
  }
  static constexpr bool weekend(uint32_t t) {
    const uint32_t weekday = (t / kDaySeconds) % 7;
    return weekday == 6 || weekday == 0;
  }

 private:
  uint32_t start_for(uint32_t end) const;

  const platform::Clock& clock_;
  uint32_t channel_count_;
  uint32_t days_;
};

}  // namespace tessomar::dvrsim
