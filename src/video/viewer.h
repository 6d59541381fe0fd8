// The viewer pipeline: per connection slot, the frame records that the VIDO channel queued
// are checked against the viewing mode and channel, turned into an access unit and decoded
// when due, so that pictures appear at the pace the DVR produced them. Live view speeds up
// when it falls behind, playback keeps strict time, backup hands frames to the backup job.
// The viewer also owns the per-channel clocks the audio output paces itself against, the
// picture controls and time labels attached to a slot, and the feedback words sent back.
//
// Threads: everything runs on the UI thread, except the fields marked "audio thread", which
// the audio output reads (or, for the audio ring's read position, writes) from its own
// thread. The audio ring's two positions are only touched through std::atomic_ref
// (writer: queue_audio; reader: the audio output), so a record's bytes are visible before
// the write position that announces them.
//
// The viewer knows nothing of the VIDO channel: it is handed its slot's feedback block, and
// asks for the slot's reorder table to be cleared through a hook.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "channels/session_state.h"
#include "channels/vask.h"
#include "link/link.h"
#include "link/ring.h"
#include "platform/clock.h"
#include "platform/form.h"
#include "platform/wakeup.h"
#include "video/convert.h"
#include "video/decoder.h"
#include "video/feedback.h"
#include "video/frame_record.h"

namespace tessomar::video {

constexpr int kViewerCount = 2;
constexpr uint32_t kViewerRingSize = 4194304;
constexpr uint32_t kFrameBufferSize = 4194304;
constexpr int kChannelClocks = 17;  // channels 0-15 and the composite channel 16
constexpr int kViewNodesPerList = 4;
constexpr int kStepsPerTick = 100;
constexpr int kViewKindLive = 0;
constexpr int kViewKindPlayback = 1;

struct ChannelClock {
  uint32_t resync = 0;         // continuity lost: the next accepted frame must be a key frame
  uint32_t due = 0;            // ms of the channel's epoch at which its next picture is shown
  uint32_t newestSeconds = 0;  // newest record heard for the channel (VIDO)
  uint32_t newestFrame = 0;
  // Audio thread reads these three.
  std::atomic<uint32_t> resyncTime{0};  // picture time of the frame that last re-timed
  std::atomic<uint32_t> resyncFrame{0};
  std::atomic<uint32_t> shownPosition{0};  // (time & 0xFFFFFF) x fps + frame of the last shown
};

struct ViewNode {
  platform::Component* picture = nullptr;
  platform::Component* label = nullptr;
};

// The controls attached for one channel and kind, in attachment order.
struct ViewList {
  uint32_t count = 0;
  int claim = 0;  // display claim result of the first attachment: 1 held, 0 refused
  std::array<ViewNode, kViewNodesPerList> nodes{};
};

// Which slot may show pictures: filled by the first attachment, never changed after.
struct DisplayClaim {
  int slot = -1;
  int channel = -1;
  int kind = -1;
};

// What the viewer needs of the decoder slots. `decode` hands one access unit over (the
// picture reaches Viewers::present_decoded before it returns); `key_frame_queued` says the
// unit carries fresh parameter sets; `take_damaged` reports and resets a damaged decode.
struct DecoderPort {
  std::function<int(int index, const uint8_t* data, uint32_t size)> decode;
  std::function<void(int index)> key_frame_queued;
  std::function<bool(int index)> take_damaged;
};
// The port of real decoder slots; they must outlive every viewer that uses it.
DecoderPort decoder_port(DecoderSlots& slots);

class Viewer;

// Calls out to parts built elsewhere; each is optional.
struct ViewerHooks {
  // Playback time moved: the key form's "Mon_P_N_T#SD" takes it and the form is redrawn.
  std::function<void(int slot, uint32_t display_time)> playback_time_changed;
  // Backup mode: one step of the backup job with the viewer's waiting item. 1 ends the
  // tick. Unset: waiting frames are consumed and acknowledged (so the DVR keeps sending)
  // and the result is 0.
  std::function<int(Viewer& viewer)> service_backup;
  // Backup mode: the audio step runs on the UI thread; 1 when it can do no more now.
  std::function<int(Viewer& viewer)> audio_step;
  // The viewer got its buffers: the slot's reorder table starts afresh.
  std::function<void(int slot)> clear_reorder_table;
};

enum class DropReason : int {
  NoFrameBuffer,
  StaleRequest,      // requestCounter of an older view request
  CompositeNotLive,  // channel 16 outside Live
  Truncated,         // record too short for its picture header, or payload not queued
  BadHeader,
  AwaitingKeyFrame,  // predicted frame while resynchronising
  WrongStreamKind,
  WrongChannel,  // playback picture of another camera
  Count
};
constexpr int kDropReasonCount = int(DropReason::Count);

// Counters for diagnostics; they never influence behaviour.
struct ViewerStats {
  uint64_t presented = 0;  // decode calls for due pictures
  uint64_t drawn = 0;      // pictures that reached the view
  uint64_t damaged = 0;
  uint64_t dropped = 0;
  std::array<uint64_t, kDropReasonCount> dropped_by_reason{};
  uint64_t framing_losses = 0;   // video ring discarded
  uint64_t resyncs = 0;          // channels re-timed on a key frame
  uint64_t backup_consumed = 0;  // Backup mode without a backup job
  uint64_t decode_ms = 0;
  uint64_t decode_count = 0;
  uint64_t conversion_ms = 0;
  uint64_t conversion_count = 0;
};

class Viewers;
struct ViewerTestPeer;

class Viewer {
 public:
  Viewer(Viewers& owner, int slot);
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  int slot_index() const { return slot_; }

  // One frame record: 1 ends the tick, 0 lets the caller continue.
  int videoStep();
  // Decodes and presents the waiting picture when due. 1 when it presented or is waiting,
  // 0 when nothing is pending.
  int presentPending();
  // Empties the video ring, drops the waiting picture and resets channels: n = 0 all,
  // 1-17 channel n - 1, above 17 channel 0.
  void flushViewer(uint32_t n);
  // Every channel's due time to 0 and its epoch reset.
  void retimeChannels();

  // Milliseconds since the channel's epoch / the general epoch.
  uint32_t clock_reading(uint32_t channel) const;
  uint32_t general_clock() const;
  // 25 for a PAL device, else 30.
  uint32_t fps() const;

  // VIDO: the newest record heard for a channel (0-16; others ignored).
  void note_newest(uint32_t channel, uint32_t seconds, uint32_t frameInSecond);
  // VIDO: appends one whole record to the video ring. 0, or -1 when it has no room.
  int queue_video(const uint8_t* record, uint32_t n);
  // VIDO: a stalled live view drops everything queued.
  void empty_video_ring();
  // VIDO: appends one audio record, publishing it to the audio thread. 0, or -1 when the
  // ring has no room or no storage.
  int queue_audio(const uint8_t* record, uint32_t n);

  // Backup job: the frame waiting in the frame buffer (empty when none), and its release.
  std::span<const uint8_t> waiting_frame() const {
    return frameBuffer_ ? std::span<const uint8_t>(frameBuffer_.get(), pending_)
                        : std::span<const uint8_t>();
  }
  void release_waiting_frame() { pending_ = 0; }
  // Backup job: the waiting item, which the writer changes in place.
  std::span<uint8_t> waiting_item() {
    return frameBuffer_ ? std::span<uint8_t>(frameBuffer_.get(), pending_) : std::span<uint8_t>();
  }
  // Backup job: the waiting item is taken; the DVR learns that the frame was handled.
  void consume_waiting_frame();
  // Backup job: the channel's next picture must be a key frame.
  void mark_resync(uint32_t channel);
  // Backup job: decodes a key frame (parameter sets in front) for the view.
  void preview_key_frame(const uint8_t* unit, uint32_t size);
  // Audio in Backup mode (UI thread): a record goes into the frame buffer as the waiting item.
  uint8_t* frame_buffer() { return frameBuffer_.get(); }
  void set_pending(uint32_t n) { pending_ = n; }
  // The audio ring for its one reader (audio thread); null until the viewer has its buffers.
  // Its storage and size never change once published; its positions are only touched
  // through std::atomic_ref.
  link::ByteRing* audio_ring_reader() const {
    return audio_ring_published_.load(std::memory_order_acquire);
  }

  bool has_buffers() const { return frameBuffer_ != nullptr; }
  const ViewerStats& stats() const { return stats_; }
  channels::SessionState* session() const { return session_; }

  // The presentation state other subsystems read; the mode logic also sets displayTime.
  bool videoStarted() const { return videoStarted_ != 0; }
  const link::ByteRing& videoRing() const { return videoRing_; }
  uint32_t pending() const { return pending_; }
  const ChannelClock& clock(uint32_t c) const { return clocks_[c]; }
  uint32_t displayTime() const { return displayTime_; }
  void set_display_time(uint32_t t) { displayTime_ = t; }
  uint32_t displayOffset() const { return displayOffset_; }
  const ViewList& liveView(uint32_t c) const { return liveViews_[c]; }
  const ViewList& playbackView(uint32_t c) const { return playbackViews_[c]; }
  uint32_t liveViewCount() const { return liveViewCount_; }
  uint32_t playbackViewCount() const { return playbackViewCount_; }

 private:
  friend class Viewers;
  friend struct ViewerTestPeer;

  // The record at the head of the video ring, as videoStep takes it apart.
  struct Incoming {
    FrameRecordHeader h;
    PictureHeader p;
    std::array<uint8_t, kPictureHeaderSize> raw_picture{};
    uint32_t rest = 0;    // bytes of the record still in the ring
    uint32_t length = 0;  // bytes of the access unit built from it
    int32_t mode = 0;
  };
  // The seams of videoStep. read_record: false ends the tick (nothing to read, or framing
  // lost). The others: false when the frame was dropped.
  bool read_record(Incoming& in);
  bool check_picture(Incoming& in);
  bool build_access_unit(Incoming& in);
  bool fits_view(const Incoming& in);
  void accept(const Incoming& in);
  void pace(const Incoming& in);
  void resync_channel(const Incoming& in, uint32_t now);
  void hold_for_presentation(const Incoming& in);
  void update_display_time(const Incoming& in);

  int service_waiting();
  // Skips the rest of the record and acknowledges it; false, for the stages to return.
  bool drop_frame(const FrameRecordHeader& h, uint32_t remaining, DropReason why);
  void acknowledge_drop(const FrameRecordHeader& h, DropReason why);
  void discard_video_ring();
  void reset_channel(uint32_t c);
  void recompute_credit();
  ViewerFeedback& feedback() { return *feedback_; }
  void set_time_labels_visible(bool visible);
  void allocate_buffers();

  Viewers& owner_;
  int slot_;
  channels::SessionState* session_ = nullptr;
  const channels::DeviceIdentity* device_ = nullptr;
  // The slot's feedback block once bound; until then the words go to a block never sent.
  ViewerFeedback unbound_feedback_;
  ViewerFeedback* feedback_ = &unbound_feedback_;
  std::unique_ptr<uint8_t[]> video_storage_;
  std::unique_ptr<uint8_t[]> audio_storage_;
  std::unique_ptr<uint8_t[]> frameBuffer_;
  std::array<uint32_t, kChannelClocks> epochs_{};
  uint32_t general_epoch_ = 0;
  uint32_t label_show_counter_ = 0;
  uint32_t last_playback_time_ = 0;  // display time last handed to the key form
  uint32_t conversion_ms_ = 0;       // conversion time inside the running decode call
  ViewerStats stats_;

  uint32_t directionApplied_ = 0;
  uint32_t videoStarted_ = 0;
  link::ByteRing videoRing_;
  link::ByteRing audioRing_;  // positions through std::atomic_ref only (audio thread)
  std::atomic<link::ByteRing*> audio_ring_published_{nullptr};
  uint32_t keyFrameQueued_ = 0;
  uint32_t streamKind_ = 0;
  uint32_t pendingFrameId_ = 0;
  uint32_t readClock_ = 0;
  uint32_t pictureTime_ = 0;
  uint32_t pictureFrame_ = 0;
  uint32_t pictureChannel_ = 0;
  uint32_t lastOffset_ = 0;
  uint32_t offsetChanges_ = 0;
  uint32_t pending_ = 0;  // bytes of the access unit in the frame buffer; 0 when none
  std::array<ChannelClock, kChannelClocks> clocks_;
  uint32_t channel_ = 0;
  uint32_t interlaced_ = 0;
  uint32_t displayTime_ = 0;
  uint32_t displayOffset_ = 0;
  std::array<ViewList, kChannelClocks> liveViews_{};
  std::array<ViewList, kChannelClocks> playbackViews_{};
  uint32_t liveViewCount_ = 0;
  uint32_t playbackViewCount_ = 0;
};

class Viewers {
 public:
  Viewers(const platform::Clock& clock, link::Link& link);
  Viewers(const Viewers&) = delete;
  Viewers& operator=(const Viewers&) = delete;

  // Connects a slot's viewer with its session state, device identity and the slot's feedback
  // block (which must outlive the viewers).
  void bind(int slot, channels::SessionState* session, const channels::DeviceIdentity* device,
            ViewerFeedback* feedback);
  void set_decoder(DecoderPort port) { decoder_ = std::move(port); }
  // Unset: pictures are not drawn (the time labels still follow them).
  void set_converter(ViewConverter* converter) { converter_ = converter; }
  ViewerHooks& hooks() { return hooks_; }

  // Attaches a picture control and a label to a channel (0-16) and kind (0 live, 1 playback)
  // of a slot; slot -1 picks the slot whose stored host and port match. Only slot 0 takes
  // views. The first attachment of a list claims the display and allocates the viewer's
  // buffers. 0, or -1 when refused.
  int attachView(int slot_index, std::string_view host, int port, int channel, int kind,
                 platform::Component* picture, platform::Component* label);
  // The link's binding of a slot's outputs: the picture and label on channel 0, as live view
  // and then as playback view, with the slot's stored host and port.
  void bind_outputs(int slot, platform::Component* picture, platform::Component* label);

  // Once per timer tick.
  void serviceViewers();

  // The decoder's picture sink: draws into the attached view and updates the time labels.
  void present_decoded(int index, const DecodedPicture& picture);
  // Every channel-0 label of the mode's list shows the viewer's displayTime.
  void update_time_labels(Viewer& viewer);

  Viewer& viewer(int slot) { return *viewers_[slot]; }
  const Viewer& viewer(int slot) const { return *viewers_[slot]; }
  const DisplayClaim& display_claim() const { return claim_; }

  // Live pacing by the stream's rate code (devices whose number text holds "[N] 6").
  void set_fast_live_pacing(bool on) { fast_live_pacing_ = on; }
  bool fast_live_pacing() const { return fast_live_pacing_; }
  // 128 when the last accepted picture is 44 or 22 macroblocks wide, else 0. Audio thread.
  uint32_t audioBias() const { return audioBias_.load(std::memory_order_relaxed); }
  // Rung when audio is queued, or a picture is shown while audio waits for it: the audio
  // thread sleeps on it between rounds.
  platform::Wakeup& audio_wakeup() { return audio_wakeup_; }

 private:
  friend class Viewer;

  const platform::Clock& clock_;
  link::Link& link_;
  DecoderPort decoder_;
  ViewConverter* converter_ = nullptr;
  ViewerHooks hooks_;
  DisplayClaim claim_;
  bool fast_live_pacing_ = false;
  std::atomic<uint32_t> audioBias_{0};
  platform::Wakeup audio_wakeup_;
  std::array<std::unique_ptr<Viewer>, kViewerCount> viewers_;
};

}  // namespace tessomar::video
