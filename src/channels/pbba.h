// The PBBA channel: which parts of a time range hold recordings, for the playback calendar.
// While slot 0 is in Playback or Backup mode the calendar poll asks the DVR about the month
// and the day the calendar shows whenever they change; the answer's presence entries become
// the calendar's flags. A query from the DVR gets an empty answer.
//
// Message: common header, 32-byte sub-header (session key, range index, type 0 query / 1
// answer, value = 0-based channel, 16 reserved bytes), 72-byte body (range start and end in
// device time, then for an answer: total body length, byte sum of the data, reserved), and
// for an answer the presence data: 2 bytes per unit of the range. Little-endian throughout.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "channels/icmd.h"
#include "link/link.h"

namespace tessomar::channels {

constexpr uint32_t kTagPbba = link::make_tag("PBBA");
constexpr uint32_t kPbbaBufferSize = 4116;
constexpr uint32_t kPbbaBodySize = 72;
constexpr uint32_t kPbbaRanges = 8;
constexpr uint32_t kPbbaQueryEntrySize = 64;

constexpr uint32_t kPbbaQuery = 0;
constexpr uint32_t kPbbaAnswer = 1;

// The two ranges the calendar uses: 42 days around the month view, 48 half hours of a day.
constexpr uint32_t kRangeMonthView = 4;
constexpr uint32_t kRangeDayView = 7;
constexpr int kMonthViewEntries = 42;
constexpr int kDayViewEntries = 48;

struct PbbaRange {
  uint32_t unit;        // seconds
  uint32_t half_width;  // units on each side
};
constexpr std::array<PbbaRange, kPbbaRanges> kPbbaRangeTable = {{
    {1, 270},
    {60, 270},
    {1440, 270},
    {3600, 270},
    {86400, 21},
    {2592000, 1},
    {31536000, 1},
    {1800, 24},
}};
// Which range indexes may be queried (all of them; the values repeat the units).
constexpr std::array<uint32_t, kPbbaRanges> kPbbaQueryable = {1,     60,      1440,     3600,
                                                              86400, 2592000, 31536000, 1800};

// The range around t for an index: from the start of the unit before t's, half-width units
// each way. Unsigned 32-bit arithmetic, as the DVR computes it.
struct PbbaSpan {
  uint32_t start = 0;
  uint32_t end = 0;
};
PbbaSpan pbba_range(uint32_t index, uint32_t t);

// Whether a presence entry (2 bytes) counts as recorded.
inline bool pbba_recorded(uint8_t first_byte) { return (first_byte & 0x1F) != 0; }

// Per connection slot: the ranges last queried and the answer headers sent back.
struct PbbaRecord {
  std::array<std::array<uint8_t, kPbbaQueryEntrySize>, kPbbaRanges> queryRanges{};
  std::array<std::array<uint8_t, kPbbaBodySize>, kPbbaRanges> answerHeaders{};
  int slot = 0;
};

// What the channel reads from and writes into the calendar. Unset hooks: nothing to poll,
// answers are checked and dropped.
struct PbbaCalendar {
  // The month-view time (index 4) or the day-view time (index 7) the calendar shows.
  std::function<uint32_t(uint32_t index)> shown_time;
  // The flags of an accepted answer: 42 month-view or 48 day-view entries, 1 or 0.
  std::function<void(uint32_t index, std::span<const int32_t> flags)> store_flags;
  // After an accepted answer: the calendar rebuilt with its date, the time markers redrawn.
  std::function<void()> redraw;
};

// Why an answer changed nothing; kept for diagnostics and tests.
struct PbbaCounters {
  uint32_t queries_sent = 0;
  uint32_t answers_accepted = 0;
  uint32_t answers_refused = 0;
  uint32_t dvr_queries_answered = 0;
};

class PbbaChannel {
 public:
  PbbaChannel(link::Link& link, const IcmdChannel& icmd);
  PbbaChannel(const PbbaChannel&) = delete;
  PbbaChannel& operator=(const PbbaChannel&) = delete;

  // Start-up: registers "PBBA" with the link and clears the records and remembered times.
  void register_pbba();

  void PbbaSend(uint32_t key, uint32_t index, uint32_t type, uint32_t value);
  // Stores the range around t as slot 0's query range of the index, then sends.
  void PbbaQuery(uint32_t key, uint32_t index, uint32_t type, uint32_t value, uint32_t t);

  // The main loop's 0.3 s poll: in Playback or Backup mode, asks about the shown month and
  // day of the playback channel when they changed.
  void calendar_poll();

  PbbaCalendar& calendar() { return calendar_; }
  const PbbaRecord& record(int slot) const { return records_[size_t(slot)]; }
  const PbbaCounters& counters() const { return counters_; }

 private:
  void on_message();
  void send(const link::ChannelRequest& request);
  void handle_query(uint32_t key, uint32_t index, uint32_t value, std::span<const uint8_t> body);
  void handle_answer(uint32_t index, std::span<const uint8_t> body);

  link::Link& link_;
  const IcmdChannel& icmd_;
  PbbaCalendar calendar_;
  PbbaCounters counters_;
  std::array<PbbaRecord, link::kSlotCount> records_{};
  // Per channel and range index: the time last asked about (0: never).
  std::array<std::array<uint32_t, kPbbaRanges>, 16> last_queried_{};
  std::unique_ptr<std::array<uint8_t, kPbbaBufferSize>> buffer_;
};

}  // namespace tessomar::channels
