// Watches the control's own session for the two stalls the link cannot see by itself: a
// session whose identity never arrives (the reply that held it was lost) and a live view
// or a backup whose pictures stop while the DVR goes on answering polls. Either way the session is
// dropped and opened afresh, as after a refusal. Plain and clock-free: the caller passes the
// time in tick units.
#pragma once

#include <cstdint>

namespace tessomar::shell {

class SessionWatchdog {
 public:
  // Tick units (10 microseconds).
  static constexpr uint32_t kIdentityWait = 500000;  // 5 s after the key was accepted
  static constexpr uint32_t kPictureWait = 400000;   // 4 s without a delivered record
  // A running backup: longer, as the DVR may skip unrecorded stretches, yet well within
  // the backup job's own 15 s silence that ends the copy.
  static constexpr uint32_t kBackupPictureWait = 800000;

  enum class Verdict { kHealthy, kNoIdentity, kPicturesStopped };

  struct Reading {
    uint32_t session_key = 0;
    bool established = false;       // the key was accepted
    bool identified = false;        // the DVR's identity arrived
    bool expects_pictures = false;  // a live view or a backup is on
    uint64_t pictures = 0;          // records delivered so far (any running count)
    uint32_t picture_wait = kPictureWait;
  };

  Verdict check(const Reading& r, uint32_t now);

 private:
  bool watching_ = false;
  uint32_t key_ = 0;
  uint32_t since_ = 0;
  bool expecting_ = false;
  uint64_t pictures_ = 0;
  uint32_t pictures_since_ = 0;
};

}  // namespace tessomar::shell
