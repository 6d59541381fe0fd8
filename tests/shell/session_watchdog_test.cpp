#include "shell/session_watchdog.h"

#include <gtest/gtest.h>

namespace tessomar::shell {
namespace {

using Verdict = SessionWatchdog::Verdict;
using Reading = SessionWatchdog::Reading;
constexpr uint32_t kIdentity = SessionWatchdog::kIdentityWait;
constexpr uint32_t kPictures = SessionWatchdog::kPictureWait;

struct Step {
  uint32_t at;
  Reading reading;
  Verdict expected;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

constexpr Reading established(uint32_t key) { return {key, true, false, false, 0}; }
constexpr Reading live(uint32_t key, uint64_t pictures) {
  return {key, true, true, true, pictures};
}

TEST(SessionWatchdog, Verdicts) {
  const Case cases[] = {
      {"identity overdue",
       {{0, established(7), Verdict::kHealthy},
        {kIdentity - 1, established(7), Verdict::kHealthy},
        {kIdentity, established(7), Verdict::kNoIdentity}}},
      {"a new key restarts the wait",
       {{0, established(7), Verdict::kHealthy},
        {kIdentity - 10, established(8), Verdict::kHealthy},
        {kIdentity + 10, established(8), Verdict::kHealthy},
        {2 * kIdentity - 10, established(8), Verdict::kNoIdentity}}},
      {"no session, nothing to wait for",
       {{0, Reading{}, Verdict::kHealthy}, {10 * kIdentity, Reading{}, Verdict::kHealthy}}},
      {"a lost session forgets its wait",
       {{0, established(7), Verdict::kHealthy},
        {kIdentity - 1, Reading{}, Verdict::kHealthy},
        {kIdentity + 5, established(7), Verdict::kHealthy}}},
      {"pictures flowing",
       {{0, live(7, 1), Verdict::kHealthy},
        {kPictures - 1, live(7, 2), Verdict::kHealthy},
        {2 * kPictures - 2, live(7, 3), Verdict::kHealthy}}},
      {"pictures stop",
       {{0, live(7, 1), Verdict::kHealthy},
        {100, live(7, 5), Verdict::kHealthy},
        {100 + kPictures - 1, live(7, 5), Verdict::kHealthy},
        {100 + kPictures, live(7, 5), Verdict::kPicturesStopped}}},
      {"no live view, no pictures wanted",
       {{0, {7, true, true, false, 0}, Verdict::kHealthy},
        {10 * kPictures, {7, true, true, false, 0}, Verdict::kHealthy},
        // Entering live view starts the wait then, not at the session's start.
        {10 * kPictures + 1, live(7, 0), Verdict::kHealthy},
        {11 * kPictures, live(7, 0), Verdict::kHealthy},
        {11 * kPictures + 1, live(7, 0), Verdict::kPicturesStopped}}},
      {"a backup waits longer",
       {{0, {7, true, true, true, 3, SessionWatchdog::kBackupPictureWait}, Verdict::kHealthy},
        {kPictures,
         {7, true, true, true, 3, SessionWatchdog::kBackupPictureWait},
         Verdict::kHealthy},
        {SessionWatchdog::kBackupPictureWait,
         {7, true, true, true, 3, SessionWatchdog::kBackupPictureWait},
         Verdict::kPicturesStopped}}},
      {"tick clock wraps",
       {{0xFFFFFF00u, established(9), Verdict::kHealthy},
        {0xFFFFFF00u + kIdentity, established(9), Verdict::kNoIdentity}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SessionWatchdog w;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      EXPECT_EQ(w.check(c.steps[i].reading, c.steps[i].at), c.steps[i].expected) << "step " << i;
    }
  }
}

}  // namespace
}  // namespace tessomar::shell
