// The feedback block of a connection slot: 64 little-endian words that the VIDO channel
// sends whole and the viewer fills in (what it took, what presenting costs, how much room
// it has). UI thread only.
#pragma once

#include <array>
#include <cstdint>

#include "link/ring.h"
#include "video/frame_record.h"

namespace tessomar::video {

constexpr int kFeedbackWords = 64;
constexpr uint32_t kFeedbackBytes = 256;
constexpr int kFeedbackSequence = 0;            // words 0-15: last accepted channelSequence
constexpr int kFeedbackCost = 16;               // words 16-31: smoothed presentation cost
constexpr int kFeedbackCredit = 32;             // receive credit
constexpr int kFeedbackFrameId = 34;            // frameId last presented or dropped
constexpr int kFeedbackCompositeSequence = 36;  // channel 16's sequence
constexpr int kFeedbackCompositeCost = 37;      // channel 16's cost
constexpr uint32_t kInitialCredit = 0x40000;
// Room the viewer keeps for itself; only what lies beyond it is offered to the DVR.
constexpr uint32_t kCreditReserve = 524288;

struct ViewerFeedback {
  std::array<uint32_t, kFeedbackWords> words{};

  // Word of the last accepted sequence / smoothed cost of a channel 0-16.
  static constexpr int sequence_word(uint32_t channel) {
    return channel >= kCompositeChannel ? kFeedbackCompositeSequence
                                        : kFeedbackSequence + int(channel);
  }
  static constexpr int cost_word(uint32_t channel) {
    return channel >= kCompositeChannel ? kFeedbackCompositeCost : kFeedbackCost + int(channel);
  }
};

// Credit word for a viewer video ring: its room beyond the reserve, or 0.
inline uint32_t receive_credit(const link::ByteRing& video_ring) {
  const uint32_t room = link::ring_room(video_ring.write_pos, video_ring.read_pos, video_ring.size);
  return room > kCreditReserve ? room - kCreditReserve : 0;
}

}  // namespace tessomar::video
