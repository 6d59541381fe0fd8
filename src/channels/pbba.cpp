#include "channels/pbba.h"

#include <algorithm>

#include "platform/bytes.h"

namespace tessomar::channels {

namespace {
// Sub-header words.
constexpr size_t kSubKey = 0;
constexpr size_t kSubIndex = 4;
constexpr size_t kSubType = 8;
constexpr size_t kSubValue = 12;
// Body words.
constexpr size_t kBodyStart = 0;
constexpr size_t kBodyEnd = 4;
constexpr size_t kBodyTotal = 8;
constexpr size_t kBodySum = 12;

constexpr uint32_t kEntrySize = 2;
constexpr size_t kChannels = 16;

uint32_t byte_sum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return sum;
}
}  // namespace

PbbaSpan pbba_range(uint32_t index, uint32_t t) {
  if (index >= kPbbaRanges) return {};
  const PbbaRange& r = kPbbaRangeTable[index];
  const uint32_t e = r.unit;
  const uint32_t h = e * r.half_width;
  const uint32_t t0 = ((t - e) / e) * e;
  return {t0 - h, t0 + h};
}

PbbaChannel::PbbaChannel(link::Link& link, const IcmdChannel& icmd)
    : link_(link), icmd_(icmd), buffer_(std::make_unique<std::array<uint8_t, kPbbaBufferSize>>()) {}

void PbbaChannel::register_pbba() {
  link_.register_channel(
      kTagPbba, [this] { on_message(); }, [this](const link::ChannelRequest& r) { send(r); },
      *buffer_);
  records_ = {};
  for (int s = 0; s < link::kSlotCount; ++s) records_[size_t(s)].slot = s;
  last_queried_ = {};
}

void PbbaChannel::PbbaSend(uint32_t key, uint32_t index, uint32_t type, uint32_t value) {
  link_.send_by_tag(kTagPbba, link::ChannelRequest(key, type, index, value));
}

void PbbaChannel::PbbaQuery(uint32_t key, uint32_t index, uint32_t type, uint32_t value,
                            uint32_t t) {
  if (index >= kPbbaRanges) return;
  const PbbaSpan span = pbba_range(index, t);
  std::array<uint8_t, kPbbaQueryEntrySize>& entry = records_[0].queryRanges[index];
  entry.fill(0);
  platform::ByteWriter w(entry);
  w.u32le(span.start);
  w.u32le(span.end);
  PbbaSend(key, index, type, value);
}

void PbbaChannel::calendar_poll() {
  const SessionState& state = icmd_.session(0);
  if (state.mode != kModePlayback && state.mode != kModeBackup) return;
  if (!calendar_.shown_time) return;
  platform::ByteReader r(state.playback);
  r.seek(kPlaybackChannel);
  const uint32_t channel = r.u32le();
  if (channel >= kChannels) return;
  for (uint32_t index : {kRangeMonthView, kRangeDayView}) {
    const uint32_t t = calendar_.shown_time(index);
    uint32_t& last = last_queried_[channel][index];
    if (t == last || kPbbaQueryable[index] == 0) continue;
    last = t;
    PbbaQuery(link_.slot(0).session_key, index, kPbbaQuery, channel, t);
  }
}

void PbbaChannel::send(const link::ChannelRequest& request) {
  const uint32_t index = request.arg;
  const int slot = link_.find_slot_by_key(request.key);
  if (slot < 0 || index >= kPbbaRanges) return;

  constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;
  std::span<uint8_t> buf(*buffer_);
  platform::ByteWriter w(buf.first(kHeaders + kPbbaBodySize));
  w.zeros(4);  // total length, written on queueing
  w.u32le(kTagPbba);
  w.zeros(link::kMessageHeaderSize - 8);
  w.u32le(request.key);
  w.u32le(index);
  w.u32le(request.op);
  w.u32le(request.value);
  w.zeros(link::kSubHeaderSize - 16);

  std::span<uint8_t> body = buf.subspan(kHeaders, kPbbaBodySize);
  if (request.op == kPbbaQuery) {
    // The query range entry is 64 bytes; the body's last eight stay zero.
    std::fill(body.begin(), body.end(), uint8_t(0));
    const auto& range = records_[0].queryRanges[index];
    std::copy(range.begin(), range.end(), body.begin());
    ++counters_.queries_sent;
  } else {
    // An answer carries no data: its total length is the header alone.
    std::array<uint8_t, kPbbaBodySize>& header = records_[size_t(slot)].answerHeaders[index];
    platform::ByteWriter hw(header);
    hw.seek(kBodyTotal);
    hw.u32le(kPbbaBodySize);
    std::copy(header.begin(), header.end(), body.begin());
  }
  link_.finish_and_queue(slot, buf, kPbbaBodySize);
}

void PbbaChannel::on_message() {
  const std::span<const uint8_t> buf(*buffer_);
  const uint32_t length = std::min<uint32_t>(link_.last_message_length(kTagPbba), kPbbaBufferSize);
  if (length < link::kSubHeaderSize + kPbbaBodySize) return;
  platform::ByteReader r(buf.first(length));
  r.seek(kSubKey);
  const uint32_t key = r.u32le();
  r.seek(kSubIndex);
  const uint32_t index = r.u32le();
  r.seek(kSubType);
  const uint32_t type = r.u32le();
  r.seek(kSubValue);
  const uint32_t value = r.u32le();
  if (link_.find_slot_by_key(key) < 0) return;
  const std::span<const uint8_t> body =
      buf.subspan(link::kSubHeaderSize, length - link::kSubHeaderSize);
  if (type == kPbbaQuery) {
    handle_query(key, index, value, body);
  } else if (type == kPbbaAnswer) {
    handle_answer(index, body);
  }
}

void PbbaChannel::handle_query(uint32_t key, uint32_t index, uint32_t value,
                               std::span<const uint8_t> body) {
  if (index >= kPbbaRanges) return;
  const int slot = link_.find_slot_by_key(key);
  platform::ByteReader r(body);
  const uint32_t start = r.u32le();
  const uint32_t end = r.u32le();
  platform::ByteWriter w(records_[size_t(slot)].answerHeaders[index]);
  w.seek(kBodyStart);
  w.u32le(start);
  w.seek(kBodyEnd);
  w.u32le(end);
  ++counters_.dvr_queries_answered;
  PbbaSend(key, index, kPbbaAnswer, value);
}

void PbbaChannel::handle_answer(uint32_t index, std::span<const uint8_t> body) {
  platform::ByteReader r(body);
  r.seek(kBodyTotal);
  const uint32_t total = r.u32le();
  r.seek(kBodySum);
  const uint32_t sum = r.u32le();
  if (total <= kPbbaBodySize) return;  // no data
  // An index outside the tables, a length beyond the bytes that arrived or a wrong byte sum
  // leaves the calendar as it was.
  if (index >= kPbbaRanges || total > body.size()) {
    ++counters_.answers_refused;
    return;
  }
  const std::span<const uint8_t> data = body.subspan(kPbbaBodySize, total - kPbbaBodySize);
  if (byte_sum(data) != sum) {
    ++counters_.answers_refused;
    return;
  }
  ++counters_.answers_accepted;

  const size_t entries = data.size() / kEntrySize;
  const auto store = [&](size_t wanted) {
    std::array<int32_t, kDayViewEntries> flags{};
    // Missing entries (a short answer) count as not recorded.
    for (size_t i = 0; i < std::min(wanted, entries); ++i) {
      flags[i] = pbba_recorded(data[i * kEntrySize]) ? 1 : 0;
    }
    if (calendar_.store_flags) calendar_.store_flags(index, std::span(flags).first(wanted));
  };
  if (index == kRangeDayView) {
    store(kDayViewEntries);
  } else if (index == kRangeMonthView) {
    store(kMonthViewEntries);
  }
  if (calendar_.redraw) calendar_.redraw();
}

}  // namespace tessomar::channels
