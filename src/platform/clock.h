// Time sources: the millisecond counter, the local calendar time and the Unix time.
// Everything that reads time goes through a Clock so that tests can drive it exactly.
#pragma once

#include <cstdint>

#include "platform/local_date_time.h"

namespace tessomar::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Platform millisecond counter; wraps modulo 2^32 like the host's tick count.
  virtual uint32_t now_ms() const = 0;
  // Local date and time as the computer's clock reads it (no time zone applied).
  virtual LocalDateTime local_now() const = 0;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t unix_now() const = 0;
};

// The real clocks of the machine (monotonic milliseconds, local time, time()).
class SystemClock final : public Clock {
 public:
  uint32_t now_ms() const override;
  LocalDateTime local_now() const override;
  int64_t unix_now() const override;
};

// A clock that moves only when told to; tests use it to drive ticks and wrap-around. One time
// base, milliseconds since the Unix epoch, drives all three readings, so device time moves
// with the ticks. Local time is the base plus a fixed UTC offset; the millisecond counter is
// the low 32 bits of the base plus a counter offset.
class ManualClock final : public Clock {
 public:
  static constexpr int64_t kDefaultUnix = 1700000000;

  uint32_t now_ms() const override { return static_cast<uint32_t>(base_ms_ + counter_offset_ms_); }
  LocalDateTime local_now() const override;
  int64_t unix_now() const override { return floor_div(base_ms_, 1000); }

  // Moves every reading forward.
  void advance_ms(uint32_t ms) { base_ms_ += ms; }
  // Puts the millisecond counter at `ms` (e.g. just before wrap-around); the other readings
  // stay where they are.
  void set_ms(uint32_t ms);
  // Moves the base to the start of that Unix second, or of that local time (a valid date).
  // Like setting a computer's clock, neither moves the millisecond counter.
  void set_unix(int64_t t);
  void set_local(const LocalDateTime& t);
  // Local time is UTC plus this many seconds; changing it moves only local time.
  void set_utc_offset(int32_t seconds) { utc_offset_s_ = seconds; }

 private:
  static int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }
  void move_base(int64_t base_ms);

  int64_t base_ms_ = kDefaultUnix * 1000;
  // Chosen so that the counter starts at 0.
  int64_t counter_offset_ms_ = -kDefaultUnix * 1000;
  int32_t utc_offset_s_ = 0;
};

}  // namespace tessomar::platform
