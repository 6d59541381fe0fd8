#include "channels/pbba.h"

#include <gtest/gtest.h>

#include <vector>

#include "channels/channel_fixture.h"
#include "platform/devtime.h"

namespace tessomar::channels {
namespace {

using testing::ChannelFixture;
using testing::WireMessage;

constexpr uint32_t kKey = 0x0BADCAFE;
constexpr uint32_t kDay = 86400;

uint32_t at(int y, int mo, int d, int h = 0, int mi = 0) {
  return platform::seconds_from_date({y, mo, d, h, mi, 0});
}

// An answer body: header with the range, total length and byte sum, then the entries (first
// byte as given, second 0). `total` and `sum` override the computed fields.
std::vector<uint8_t> answer_body(const std::vector<uint8_t>& firsts, int64_t total = -1,
                                 int64_t sum = -1) {
  std::vector<uint8_t> body(kPbbaBodySize + 2 * firsts.size(), 0);
  uint32_t s = 0;
  for (size_t i = 0; i < firsts.size(); ++i) {
    body[kPbbaBodySize + 2 * i] = firsts[i];
    s += firsts[i];
  }
  platform::store_u32le(&body[8], total >= 0 ? uint32_t(total) : uint32_t(body.size()));
  platform::store_u32le(&body[12], sum >= 0 ? uint32_t(sum) : s);
  return body;
}

class PbbaTest : public ChannelFixture {
 protected:
  PbbaTest() : icmd(link, dialogs), pbba(link, icmd) {
    icmd.register_icmd();
    pbba.register_pbba();
    open_session(0, kKey, 1);
    PbbaCalendar& c = pbba.calendar();
    c.shown_time = [this](uint32_t index) {
      return index == kRangeMonthView ? month_view_time : day_view_time;
    };
    c.store_flags = [this](uint32_t index, std::span<const int32_t> flags) {
      (index == kRangeMonthView ? month_flags : day_flags).assign(flags.begin(), flags.end());
    };
    c.redraw = [this] { ++redraws; };
  }

  void enter(int32_t mode, uint32_t channel) {
    icmd.session(0).mode = mode;
    platform::store_u32le(icmd.session(0).playback.data() + kPlaybackChannel, channel);
  }

  void answer(uint32_t index, const std::vector<uint8_t>& body, uint32_t key = kKey) {
    deliver(kTagPbba, {key, index, kPbbaAnswer, 3}, body);
  }

  static std::pair<uint32_t, uint32_t> range_of(const WireMessage& m) {
    return {platform::load_u32le(&m.payload[0]), platform::load_u32le(&m.payload[4])};
  }

  IcmdChannel icmd;
  PbbaChannel pbba;
  // 2011-05: the grid starts on 2011-04-24; the chosen day is 2011-05-17.
  uint32_t month_view_time = at(2011, 4, 24) + 22 * kDay;
  uint32_t day_view_time = at(2011, 5, 17, 12, 30);
  std::vector<int32_t> month_flags, day_flags;
  int redraws = 0;
};

TEST(PbbaRange, TheCalendarsTimesAskForExactlyTheirGridAndDay) {
  struct Case {
    uint32_t index, t, start, end;
    const char* what;
  } cases[] = {
      {kRangeMonthView, at(2011, 4, 24) + 22 * kDay, at(2011, 4, 24), at(2011, 4, 24) + 42 * kDay,
       "month view: the 42 grid days"},
      {kRangeDayView, at(2011, 5, 17, 12, 30), at(2011, 5, 17), at(2011, 5, 18),
       "day view: the 48 half hours"},
      {kRangeDayView, at(2011, 5, 17, 12, 0), at(2011, 5, 16, 23, 30), at(2011, 5, 17, 23, 30),
       "a time on a unit boundary starts from the unit before"},
      {8, 1000, 0, 0, "no range beyond the table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PbbaSpan span = pbba_range(c.index, c.t);
    EXPECT_EQ(span.start, c.start);
    EXPECT_EQ(span.end, c.end);
  }
}

TEST_F(PbbaTest, PollAsksOnceForEachShownViewOfThePlaybackChannel) {
  enter(kModeLive, 5);
  pbba.calendar_poll();
  EXPECT_TRUE(take_queued().empty()) << "Live mode asks nothing";

  enter(kModePlayback, 5);
  pbba.calendar_poll();
  auto q = take_queued();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0].tag, kTagPbba);
  EXPECT_EQ(q[0].sub[0], kKey);
  EXPECT_EQ(q[0].sub[1], kRangeMonthView);
  EXPECT_EQ(q[0].sub[2], kPbbaQuery);
  EXPECT_EQ(q[0].sub[3], 5u);
  ASSERT_EQ(q[0].payload.size(), kPbbaBodySize);
  EXPECT_EQ(range_of(q[0]), std::make_pair(at(2011, 4, 24), at(2011, 6, 5)));
  EXPECT_EQ(q[1].sub[1], kRangeDayView);
  EXPECT_EQ(range_of(q[1]), std::make_pair(at(2011, 5, 17), at(2011, 5, 18)));
  EXPECT_EQ(std::count(q[1].payload.begin() + 8, q[1].payload.end(), 0), 64);

  pbba.calendar_poll();
  EXPECT_TRUE(take_queued().empty()) << "nothing changed, nothing asked again";

  // Another day in Backup mode: only the day view is asked about.
  enter(kModeBackup, 5);
  day_view_time += kDay;
  pbba.calendar_poll();
  q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].sub[1], kRangeDayView);

  // Another channel has its own remembered times: both views again.
  enter(kModePlayback, 6);
  pbba.calendar_poll();
  q = take_queued();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0].sub[3], 6u);
  EXPECT_EQ(pbba.record(0).queryRanges[kRangeDayView][0], q[1].payload[0]);
}

TEST_F(PbbaTest, DvrQueryIsAnsweredWithItsRangeAndNoData) {
  std::vector<uint8_t> body(kPbbaBodySize, 0);
  platform::store_u32le(&body[0], 111111);
  platform::store_u32le(&body[4], 222222);
  deliver(kTagPbba, {kKey, 5, kPbbaQuery, 9}, body);
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].sub[1], 5u);
  EXPECT_EQ(q[0].sub[2], kPbbaAnswer);
  EXPECT_EQ(q[0].sub[3], 9u);
  ASSERT_EQ(q[0].payload.size(), kPbbaBodySize);
  EXPECT_EQ(range_of(q[0]), std::make_pair(111111u, 222222u));
  EXPECT_EQ(platform::load_u32le(&q[0].payload[8]), kPbbaBodySize);

  deliver(kTagPbba, {kKey, 8, kPbbaQuery, 9}, body);
  deliver(kTagPbba, {kKey + 1, 5, kPbbaQuery, 9}, body);
  EXPECT_TRUE(take_queued().empty()) << "index beyond the table, unknown key";
}

TEST_F(PbbaTest, AnswersFillTheFlagsFromTheLowFiveBits) {
  std::vector<uint8_t> day(48, 0x20);  // other bits only: not recorded
  day[0] = 0x01;
  day[17] = 0x1F;
  day[47] = 0xE3;
  answer(kRangeDayView, answer_body(day));
  ASSERT_EQ(day_flags.size(), 48u);
  EXPECT_EQ(day_flags[0], 1);
  EXPECT_EQ(day_flags[1], 0);
  EXPECT_EQ(day_flags[17], 1);
  EXPECT_EQ(day_flags[47], 1);
  EXPECT_EQ(std::count(day_flags.begin(), day_flags.end(), 1), 3);
  EXPECT_EQ(redraws, 1);

  std::vector<uint8_t> month(42, 0);
  month[41] = 2;
  answer(kRangeMonthView, answer_body(month));
  ASSERT_EQ(month_flags.size(), 42u);
  EXPECT_EQ(month_flags[41], 1);
  EXPECT_EQ(std::count(month_flags.begin(), month_flags.end(), 1), 1);
  EXPECT_EQ(redraws, 2);

  // An index the calendar does not show changes no flags but still redraws.
  day_flags.clear();
  month_flags.clear();
  answer(6, answer_body({1, 1}));
  EXPECT_TRUE(day_flags.empty());
  EXPECT_TRUE(month_flags.empty());
  EXPECT_EQ(redraws, 3);
  EXPECT_EQ(pbba.counters().answers_accepted, 3u);
}

TEST_F(PbbaTest, MalformedAnswersChangeNothing) {
  const std::vector<uint8_t> entries(48, 1);
  struct Case {
    uint32_t index;
    std::vector<uint8_t> body;
    uint32_t key;
    const char* what;
  } cases[] = {
      {kRangeDayView, answer_body(entries, -1, 47), kKey, "wrong byte sum"},
      {kRangeDayView, answer_body(entries, kPbbaBodySize + 2 * 48 + 2), kKey,
       "declares more bytes than arrived"},
      {kRangeDayView, answer_body(entries, kPbbaBodySize), kKey, "no data"},
      {8, answer_body(entries), kKey, "index beyond the tables"},
      {0xFFFFFFFF, answer_body(entries), kKey, "index far beyond the tables"},
      {kRangeDayView, answer_body(entries), kKey + 1, "unknown session key"},
      {kRangeDayView, std::vector<uint8_t>(40, 0), kKey, "body shorter than its header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    answer(c.index, c.body, c.key);
    EXPECT_TRUE(day_flags.empty());
    EXPECT_EQ(redraws, 0);
  }
  EXPECT_EQ(pbba.counters().answers_accepted, 0u);
  EXPECT_TRUE(take_queued().empty());
}

}  // namespace
}  // namespace tessomar::channels
