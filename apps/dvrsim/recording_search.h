// The simulated DVR's side of the PBBA channel: which units of a time range its archive holds.
// A query (type 0) of range index i for channel c over [start, end) is answered (type 1, same
// index and value) with one 2-byte entry per unit of the index's range table: first byte 0x01
// when channel c recorded any second of the unit, else 0x20 (other bits set, low five clear,
// which a reader must not take for a recording); second byte 0. The answer header carries the
// queried range, the total length 72 + 2 x entries and the byte sum of the entries. An answer
// from the control (to a query of ours) is ignored.
//
//   RecordingSearchChannel search(video.archive());
//   search.attach(sim);
#pragma once

#include <cstdint>
#include <vector>

#include "dvrsim/archive.h"
#include "dvrsim/channels.h"
#include "link/wire.h"

namespace tessomar::dvrsim {

class Simulator;

constexpr uint32_t kPbbaTag = link::make_tag("PBBA");
constexpr uint32_t kPbbaBodyHeaderSize = 72;
constexpr uint8_t kEntryRecorded = 0x01;
constexpr uint8_t kEntryEmpty = 0x20;

// The answer's body (header and entries) for a query; empty for an index outside 0..7 or a
// range that does not hold a whole number of units.
std::vector<uint8_t> build_search_answer(const Archive& archive, uint32_t channel, uint32_t index,
                                         uint32_t start, uint32_t end);

class RecordingSearchChannel {
 public:
  explicit RecordingSearchChannel(const Archive& archive) : archive_(archive) {}
  bool attach(Simulator& sim);

 private:
  void on_message(ChannelContext& ctx, const ChannelMessage& m);
  const Archive& archive_;
};

}  // namespace tessomar::dvrsim
