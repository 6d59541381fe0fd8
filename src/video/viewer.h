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
// (writer: queueAudio; reader: the audio output), so a record's bytes are visible before
// the write position that announces them.
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
#include "video/convert.h"
#include "video/decoder.h"
#include "video/frame_record.h"
#include "video/vido.h"

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
  uint32_t resync = 0;  // continuity lost: the next accepted frame must be a key frame
  uint32_t due = 0;     // ms of the channel's epoch at which its next picture is shown
  std::array<uint32_t, 3> unused{};
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
  std::array<platform::Component*, 2> unused{};  // never filled
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
// picture reaches Viewers::presentDecoded before it returns); `key_frame_queued` says the
// unit carries fresh parameter sets; `take_damaged` reports and resets a damaged decode.
struct DecoderPort {
  std::function<int(int index, const uint8_t* data, uint32_t size)> decode;
  std::function<void(int index)> key_frame_queued;
  std::function<bool(int index)> take_damaged;
};
// The port of real decoder slots; they must outlive every viewer that uses it.
DecoderPort decoderPort(DecoderSlots& slots);

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

class Viewer {
 public:
  Viewer(Viewers& owner, int slot);
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  int slotIndex() const { return slot_; }

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
  uint32_t clockReading(uint32_t channel) const;
  uint32_t generalClock() const;
  // 25 for a PAL device, else 30.
  uint32_t fps() const;

  // VIDO: the newest record heard for a channel (0-16; others ignored).
  void noteNewest(uint32_t channel, uint32_t seconds, uint32_t frameInSecond);
  // VIDO: appends one audio record, publishing it to the audio thread. 0, or -1 when the
  // ring has no room or no storage.
  int queueAudio(const uint8_t* record, uint32_t n);

  std::span<uint8_t> frameBuffer() {
    return frameBuffer_ ? std::span<uint8_t>(frameBuffer_.get(), kFrameBufferSize)
                        : std::span<uint8_t>();
  }
  bool hasBuffers() const { return frameBuffer_ != nullptr; }
  const ViewerStats& stats() const { return stats_; }
  channels::SessionState* session() const { return session_; }

  // The presentation state. Other subsystems read these; the mode logic also sets
  // displayTime, the backup job pending.
  uint32_t directionApplied = 0;
  uint32_t videoStarted = 0;
  link::ByteRing videoRing;
  link::ByteRing audioRing;  // positions through std::atomic_ref only (audio thread)
  uint32_t keyFrameQueued = 0;
  uint32_t streamKind = 0;
  uint32_t pendingFrameId = 0;
  uint32_t readClock = 0;
  uint32_t pictureTime = 0;
  uint32_t pictureFrame = 0;
  uint32_t pictureChannel = 0;
  uint32_t lastOffset = 0;
  uint32_t offsetChanges = 0;
  uint32_t pending = 0;  // bytes of the access unit in the frame buffer; 0 when none
  std::array<ChannelClock, kChannelClocks> clocks;
  uint32_t channel = 0;
  uint32_t interlaced = 0;
  uint32_t displayTime = 0;
  uint32_t displayOffset = 0;
  std::array<ViewList, kChannelClocks> liveViews{};
  std::array<ViewList, kChannelClocks> playbackViews{};
  uint32_t liveViewCount = 0;
  uint32_t playbackViewCount = 0;

 private:
  friend class Viewers;

  int serviceWaiting();
  int dropFrame(const FrameRecordHeader& h, uint32_t remaining, DropReason why);
  void discardVideoRing();
  void resetChannel(uint32_t c);
  void recomputeCredit();
  ViewerFeedback& feedback();
  void setTimeLabelsVisible(bool visible);
  void allocateBuffers();

  Viewers& owner_;
  int slot_;
  channels::SessionState* session_ = nullptr;
  const channels::DeviceIdentity* device_ = nullptr;
  std::unique_ptr<uint8_t[]> videoStorage_;
  std::unique_ptr<uint8_t[]> audioStorage_;
  std::unique_ptr<uint8_t[]> frameBuffer_;
  std::array<uint32_t, kChannelClocks> epochs_{};
  uint32_t generalEpoch_ = 0;
  uint32_t labelShowCounter_ = 0;
  uint32_t lastPlaybackTime_ = 0;  // display time last handed to the key form
  uint32_t conversionMs_ = 0;      // conversion time inside the running decode call
  ViewerStats stats_;
};

class Viewers {
 public:
  Viewers(const platform::Clock& clock, link::Link& link, VideoChannel& vido);
  Viewers(const Viewers&) = delete;
  Viewers& operator=(const Viewers&) = delete;

  // Connects a slot's viewer with its session state and device identity, and with the
  // VIDO channel (which then queues records into it).
  void bind(int slot, channels::SessionState* session, const channels::DeviceIdentity* device);
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
  void bindOutputs(int slot, platform::Component* picture, platform::Component* label);

  // Once per timer tick.
  void serviceViewers();

  // The decoder's picture sink: draws into the attached view and updates the time labels.
  void presentDecoded(int index, const DecodedPicture& picture);
  // Every channel-0 label of the mode's list shows the viewer's displayTime.
  void updateTimeLabels(Viewer& viewer);

  Viewer& viewer(int slot) { return *viewers_[slot]; }
  const Viewer& viewer(int slot) const { return *viewers_[slot]; }
  const DisplayClaim& displayClaim() const { return claim_; }

  // Live pacing by the stream's rate code (devices whose number text holds "[N] 6").
  void set_fast_live_pacing(bool on) { fastLivePacing_ = on; }
  bool fastLivePacing() const { return fastLivePacing_; }
  // 128 when the last accepted picture is 44 or 22 macroblocks wide, else 0. Audio thread.
  uint32_t audioBias() const { return audioBias_.load(std::memory_order_relaxed); }

 private:
  friend class Viewer;

  const platform::Clock& clock_;
  link::Link& link_;
  VideoChannel& vido_;
  DecoderPort decoder_;
  ViewConverter* converter_ = nullptr;
  ViewerHooks hooks_;
  DisplayClaim claim_;
  bool fastLivePacing_ = false;
  std::atomic<uint32_t> audioBias_{0};
  std::array<std::unique_ptr<Viewer>, kViewerCount> viewers_;
};

}  // namespace tessomar::video
