// The VIDO channel: every picture and audio block of a session arrives as a frame record on
// it, and the control answers with a feedback block that tells the DVR what the viewer took
// and how much room it has. Records can arrive out of order (two sockets per slot), so each
// slot keeps a reorder table over its stream ring and hands records on strictly in the DVR's
// order into the viewer's video or audio ring. Nothing here decodes; the viewer reads the
// rings on the timer tick. UI thread only, except where a field says otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "channels/session_state.h"
#include "channels/vask.h"
#include "link/link.h"
#include "link/ring.h"
#include "link/wire.h"
#include "video/feedback.h"
#include "video/frame_record.h"
#include "video/reorder_table.h"

namespace tessomar::video {

class Viewer;

constexpr uint32_t kTagVido = link::make_tag("VIDO");
// The channel's receive buffer. It has room for records somewhat longer than the viewer
// takes, so that those arrive here and are counted as lost (their keys delivered) instead
// of being skipped unseen and holding every later record back.
constexpr uint32_t kVidoBufferSize = 270336;
static_assert(kVidoBufferSize > link::kSubHeaderSize + kMaxFrameRecordLength);

constexpr uint32_t kSubTagFrameRecord = 0;
constexpr uint32_t kSubTagFeedback = 1;

struct VideoChannelState {
  int slot = -1;  // the connection slot; -1 until registration links it
  ViewerFeedback feedback;
};

// The request handed through the registry's send_by_tag.
struct VidoRequest {
  uint32_t key = 0;
  uint32_t sub_tag = 0;
};

struct VidoHooks {
  // Audio arrived outside Backup mode: the speaker controls may appear on hover.
  std::function<void(int slot)> audio_present;
};

// Counters for diagnostics; they never influence behaviour.
struct VidoStats {
  uint64_t records = 0;        // frame records received
  uint64_t empty_records = 0;  // totalLength 0: newest time only
  uint64_t stored = 0;
  uint64_t delivered = 0;
  uint64_t lost = 0;            // no store, too long, malformed, or overwritten while held
  uint64_t restarts = 0;        // 512 stored without delivery
  uint64_t live_overflows = 0;  // video ring emptied in live view
  uint64_t video_queued = 0;
  uint64_t audio_queued = 0;
  uint64_t audio_before_video = 0;
  uint64_t ring_refused = 0;  // viewer ring had no room
  uint64_t stale = 0;         // made for an earlier view request; never stored
  uint64_t gaps_skipped = 0;  // missing keys given up after kGapWait
};

class VideoChannel {
 public:
  explicit VideoChannel(link::Link& link);
  VideoChannel(const VideoChannel&) = delete;
  VideoChannel& operator=(const VideoChannel&) = delete;

  // Start-up: registers "VIDO", links the states with their slots, credit 0x40000.
  void registerVideoChannel();

  // Connects a slot with its viewer, session state and device identity. Records for a slot
  // without all three are received into the reorder table but go no further.
  void attach(int slot, Viewer* viewer, channels::SessionState* session,
              const channels::DeviceIdentity* device);

  // Queues a feedback request on the slot with that key; nothing when no slot has it.
  void requestFeedback(uint32_t key);
  // Recomputes the credit word and writes the 256-byte block into out. Returns the bytes
  // written: 256, or 0 when out is too small.
  uint32_t buildFeedback(int slot, std::span<uint8_t> out);

  // One frame record (the message body behind the sub-header).
  void onFrameRecord(int slot, std::span<const uint8_t> record);
  // Hands over every stored record that is next in key order.
  void deliverInOrder(int slot);
  // How long held records wait for a missing key (tick units, 10 us). A record the DVR never
  // sends (lost, refused for its checksum or length) would otherwise hold every later one
  // until 512 were stored, seconds of frozen pictures; reordering across the two sockets
  // takes far less.
  static constexpr uint32_t kGapWait = 100000;
  // Called every tick with the tick clock: gives up a missing key that held records back
  // for kGapWait, then delivers what became due.
  void skip_stale_gap(int slot, uint32_t now);

  // A new view request or a mode change: forget every held record.
  void clear_reorder_table(int slot);
  // A new device identity: the DVR numbers its records afresh.
  void reset_reorder_sequence(int slot);

  VideoChannelState& state(int slot) { return states_[slot]; }
  const VideoChannelState& state(int slot) const { return states_[slot]; }
  const FrameReorderTable& reorder_table(int slot) const { return tables_[slot]; }
  const VidoStats& stats(int slot) const { return stats_[slot]; }
  VidoHooks& hooks() { return hooks_; }

 private:
  struct Attachment {
    Viewer* viewer = nullptr;
    channels::SessionState* session = nullptr;
    const channels::DeviceIdentity* device = nullptr;
  };
  using Receive = void (VideoChannel::*)(int slot, std::span<const uint8_t> body);
  using Build = uint32_t (VideoChannel::*)(int slot, std::span<uint8_t> out);
  struct SubHandlerRow {
    uint32_t sub_tag;
    Receive receive;  // null: ignored on receipt
    Build build;      // null: never sent
  };
  static const std::array<SubHandlerRow, 2> kRows;
  static const SubHandlerRow* find_row(uint32_t sub_tag);

  void on_message();
  void send(const VidoRequest& request);
  void store_record(int slot, std::span<const uint8_t> record, const FrameRecordHeader& h);
  void move_to_viewer(int slot, const ReorderEntry& entry);

  link::Link& link_;
  VidoHooks hooks_;
  std::array<VideoChannelState, link::kSlotCount> states_{};
  std::array<FrameReorderTable, link::kSlotCount> tables_{};
  std::array<Attachment, link::kSlotCount> attached_{};
  std::array<VidoStats, link::kSlotCount> stats_{};
  struct GapHold {
    bool on = false;
    uint32_t last_key = 0;
    uint32_t since = 0;
  };
  std::array<GapHold, link::kSlotCount> holds_{};
  std::unique_ptr<uint8_t[]> receive_buffer_;  // kVidoBufferSize
  std::unique_ptr<uint8_t[]> work_;            // one record on its way to a viewer ring
  std::array<uint8_t, link::kMessageHeaderSize + link::kSubHeaderSize + kFeedbackBytes> send_{};
};

}  // namespace tessomar::video
