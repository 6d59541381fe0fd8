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

// A clock that moves only when told to; tests use it to drive ticks and wrap-around.
class ManualClock final : public Clock {
 public:
  uint32_t now_ms() const override { return ms_; }
  LocalDateTime local_now() const override { return local_; }
  int64_t unix_now() const override { return unix_; }

  void set_ms(uint32_t ms) { ms_ = ms; }
  void advance_ms(uint32_t ms) {
    ms_ += ms;
    unix_ms_rest_ += ms;
    unix_ += unix_ms_rest_ / 1000;
    unix_ms_rest_ %= 1000;
  }
  void set_local(const LocalDateTime& t) { local_ = t; }
  void set_unix(int64_t t) { unix_ = t; }

 private:
  uint32_t ms_ = 0;
  uint32_t unix_ms_rest_ = 0;
  int64_t unix_ = 1700000000;
  LocalDateTime local_{};
};

}  // namespace tessomar::platform
