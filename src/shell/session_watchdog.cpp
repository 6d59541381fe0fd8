#include "shell/session_watchdog.h"

namespace tessomar::shell {

SessionWatchdog::Verdict SessionWatchdog::check(const Reading& r, uint32_t now) {
  if (!r.established || r.session_key == 0) {
    watching_ = false;
    return Verdict::kHealthy;
  }
  if (!watching_ || r.session_key != key_) {
    watching_ = true;
    key_ = r.session_key;
    since_ = now;
    expecting_ = false;
  }
  if (!r.identified)
    return now - since_ >= kIdentityWait ? Verdict::kNoIdentity : Verdict::kHealthy;
  if (!r.expects_pictures) {
    expecting_ = false;
    return Verdict::kHealthy;
  }
  if (!expecting_ || r.pictures != pictures_) {
    expecting_ = true;
    pictures_ = r.pictures;
    pictures_since_ = now;
    return Verdict::kHealthy;
  }
  return now - pictures_since_ >= r.picture_wait ? Verdict::kPicturesStopped : Verdict::kHealthy;
}

}  // namespace tessomar::shell
