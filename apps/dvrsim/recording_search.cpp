#include "dvrsim/recording_search.h"

#include <array>

#include "channels/pbba.h"
#include "dvrsim/server.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {

namespace {
// Sub-header words after the session key (message offsets).
constexpr size_t kIndexOffset = 36;
constexpr size_t kTypeOffset = 40;
constexpr size_t kValueOffset = 44;
constexpr uint32_t kQuery = 0;
constexpr uint32_t kAnswer = 1;
}  // namespace

std::vector<uint8_t> build_search_answer(const Archive& archive, uint32_t channel, uint32_t index,
                                         uint32_t start, uint32_t end) {
  if (index >= channels::kPbbaRanges) return {};
  // The control computes its ranges from the same table.
  const channels::PbbaRange& r = channels::kPbbaRangeTable[index];
  // The control always asks for the whole table range; anything else is not answered.
  if (end - start != 2 * r.half_width * r.unit) return {};
  const uint32_t entries = 2 * r.half_width;
  std::vector<uint8_t> body(kPbbaBodyHeaderSize + 2 * size_t(entries), 0);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t from = start + i * r.unit;
    const bool recorded = archive.any_recorded(channel, from, from + r.unit);
    const uint8_t b = recorded ? kEntryRecorded : kEntryEmpty;
    body[kPbbaBodyHeaderSize + 2 * size_t(i)] = b;
    sum += b;
  }
  platform::ByteWriter w(std::span<uint8_t>(body).first(kPbbaBodyHeaderSize));
  w.u32le(start);
  w.u32le(end);
  w.u32le(uint32_t(body.size()));
  w.u32le(sum);
  return body;
}

bool RecordingSearchChannel::attach(Simulator& sim) {
  return sim.channels().register_handler(
      kPbbaTag, [this](ChannelContext& ctx, const ChannelMessage& m) { on_message(ctx, m); });
}

void RecordingSearchChannel::on_message(ChannelContext& ctx, const ChannelMessage& m) {
  if (m.session_key() != ctx.session_key()) return;
  if (m.word(kTypeOffset) != kQuery) return;
  const std::span<const uint8_t> body = m.payload();
  if (body.size() < 8) return;
  platform::ByteReader r(body);
  const uint32_t start = r.u32le();
  const uint32_t end = r.u32le();
  const uint32_t index = m.word(kIndexOffset);
  const uint32_t channel = m.word(kValueOffset);
  if (channel >= 16) return;
  const std::vector<uint8_t> answer = build_search_answer(archive_, channel, index, start, end);
  if (answer.empty()) return;
  ctx.queue(build_message(kPbbaTag, ctx.session_key(), {index, kAnswer, channel}, answer));
}

}  // namespace tessomar::dvrsim
