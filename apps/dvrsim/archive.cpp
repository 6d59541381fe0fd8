#include "dvrsim/archive.h"

#include <algorithm>

#include "dvrsim/video_channel.h"

namespace tessomar::dvrsim {
namespace {

// The gap holding second t: [from, to) in device time; empty (from == to) when t is in none.
// The gaps of a day never touch each other, so stepping over one lands on a recorded second
// or in the next day's pattern.
struct Gap {
  uint64_t from = 0, to = 0;
  bool empty() const { return from == to; }
};

Gap gap_at(uint32_t channel, uint64_t t) {
  const uint64_t day = t - t % Archive::kDaySeconds;
  const uint32_t second = uint32_t(t % Archive::kDaySeconds);
  if (Archive::weekend(uint32_t(t)) && second >= Archive::kNightGapFrom &&
      second < Archive::kNightGapTo) {
    return {day + Archive::kNightGapFrom, day + Archive::kNightGapTo};
  }
  const uint32_t half = Archive::channel_gap_from(channel);
  if (second >= half && second < half + 1800) return {day + half, day + half + 1800};
  return {};
}

}  // namespace

Archive::Archive(const platform::Clock& clock, uint32_t channel_count, uint32_t days)
    : clock_(clock),
      channel_count_(std::min<uint32_t>(channel_count, 16)),
      days_(std::clamp<uint32_t>(days, 1, kMaxDays)) {}

uint32_t Archive::end() const { return device_time_of(clock_.local_now()); }

uint32_t Archive::start_for(uint32_t end) const {
  const uint64_t span = uint64_t(days_) * kDaySeconds;
  return end > span ? uint32_t(end - span) : 1;
}

bool Archive::in_pattern(uint32_t channel, uint32_t t) { return gap_at(channel, t).empty(); }

bool Archive::recorded(uint32_t channel, uint32_t t) const {
  if (channel >= channel_count_) return false;
  const uint32_t hi = end();
  return t >= start_for(hi) && t <= hi && in_pattern(channel, t);
}

uint32_t Archive::next_recorded(uint32_t channel, uint32_t t) const {
  if (channel >= channel_count_) return 0;
  const uint32_t hi = end();
  uint64_t s = std::max(t, start_for(hi));
  while (s <= hi) {
    const Gap g = gap_at(channel, s);
    if (g.empty()) return uint32_t(s);
    s = g.to;
  }
  return 0;
}

uint32_t Archive::previous_recorded(uint32_t channel, uint32_t t) const {
  if (channel >= channel_count_) return 0;
  const uint32_t hi = end();
  const uint32_t lo = start_for(hi);
  if (t < lo) return 0;
  uint64_t s = std::min(t, hi);
  for (;;) {
    const Gap g = gap_at(channel, s);
    if (g.empty()) return uint32_t(s);
    // A gap never starts at second 0 of the calendar, so g.from - 1 cannot wrap.
    if (g.from <= lo) return 0;
    s = g.from - 1;
  }
}

bool Archive::any_recorded(uint32_t channel, uint32_t from, uint32_t to) const {
  if (from >= to) return false;
  const uint32_t s = next_recorded(channel, from);
  return s != 0 && s < to;
}

}  // namespace tessomar::dvrsim
