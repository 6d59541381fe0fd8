#include "video/viewer.h"

#include <algorithm>

#include "platform/bytes.h"
#include "platform/devtime.h"
#include "video/parameter_sets.h"

namespace tessomar::video {

namespace {

using channels::kModeBackup;
using channels::kModeLive;
using channels::kModePlayback;

// How far ahead of its due time a picture may be shown, and how far ahead a live due time
// is still believed.
constexpr int32_t kEarlyMs = 66;
constexpr int32_t kUnbelievableMs = 10000;
// A due time further behind than this is pulled up to now (live and backup).
constexpr int32_t kLateMs = 100;
// The live catch-up reaches zero delay at 120 seconds of lag.
constexpr int64_t kCatchUpSeconds = 120;
constexpr uint32_t kOffsetChangeLimit = 3;
constexpr uint32_t kLabelShowAfter = 3;

bool stream_fits_mode(int32_t mode, uint32_t kind) {
  if (mode == kModeLive) return kind == kStreamLive;
  if (mode == kModePlayback || mode == kModeBackup) return kind == kStreamRecorded;
  return false;  // Setup (and the unnamed mode) accept nothing
}

}  // namespace

DecoderPort decoderPort(DecoderSlots& slots) {
  DecoderPort port;
  port.decode = [&slots](int index, const uint8_t* data, uint32_t size) {
    return slots.decodePicture(index, data, size);
  };
  port.key_frame_queued = [&slots](int index) { slots.set_key_frame_queued(index); };
  port.take_damaged = [&slots](int index) {
    if (slots.decodeStatus(index) != DecodeStatus::Damaged) return false;
    slots.resetDecodeStatus(index);
    return true;
  };
  return port;
}

// ---------------------------------------------------------------------------------------
// Viewer

Viewer::Viewer(Viewers& owner, int slot) : owner_(owner), slot_(slot) {}

uint32_t Viewer::clockReading(uint32_t c) const {
  return owner_.clock_.now_ms() - epochs_[std::min<uint32_t>(c, kCompositeChannel)];
}

uint32_t Viewer::generalClock() const { return owner_.clock_.now_ms() - generalEpoch_; }

uint32_t Viewer::fps() const {
  return device_ != nullptr && device_->video_standard != 0 ? 25 : 30;
}

ViewerFeedback& Viewer::feedback() { return owner_.vido_.state(slot_).feedback; }

void Viewer::recomputeCredit() { feedback().words[kFeedbackCredit] = receiveCredit(videoRing); }

void Viewer::noteNewest(uint32_t c, uint32_t seconds, uint32_t frameInSecond) {
  if (c > kCompositeChannel) return;
  clocks[c].newestSeconds = seconds;
  clocks[c].newestFrame = frameInSecond;
}

int Viewer::queueAudio(const uint8_t* record, uint32_t n) {
  if (audioRing.buffer == nullptr) return -1;
  std::atomic_ref<uint32_t> write_pos(audioRing.write_pos);
  std::atomic_ref<uint32_t> read_pos(audioRing.read_pos);
  link::ByteRing view = audioRing;
  view.read_pos = read_pos.load(std::memory_order_acquire);
  view.write_pos = write_pos.load(std::memory_order_relaxed);
  if (link::ring_write(record, n, &view) != 0) return -1;
  write_pos.store(view.write_pos, std::memory_order_release);
  return 0;
}

void Viewer::discardVideoRing() {
  videoRing.read_pos = videoRing.write_pos;
  ++stats_.framing_losses;
}

int Viewer::dropFrame(const FrameRecordHeader& h, uint32_t remaining, DropReason why) {
  if (link::ring_skip(&videoRing, remaining) != 0) discardVideoRing();
  feedback().words[kFeedbackFrameId] = h.frameId;
  ++stats_.dropped;
  ++stats_.dropped_by_reason[size_t(why)];
  return 0;
}

void Viewer::setTimeLabelsVisible(bool visible) {
  for (const ViewList* list : {&liveViews[0], &playbackViews[0]}) {
    for (uint32_t i = 0; i < list->count; ++i) {
      if (platform::Component* label = list->nodes[i].label) label->set_visible(visible);
    }
  }
}

int Viewer::serviceWaiting() {
  if (session_->mode == kModeBackup) {
    if (owner_.hooks_.service_backup) return owner_.hooks_.service_backup(*this);
    // No backup job to take it: acknowledge the frame so the DVR keeps streaming.
    if (pending != 0) {
      pending = 0;
      feedback().words[kFeedbackFrameId] = pendingFrameId;
      ++stats_.backup_consumed;
    }
    return 0;
  }
  return presentPending();
}

int Viewer::videoStep() {
  if (session_ == nullptr) return 1;
  if (serviceWaiting() == 1) return 1;
  if (videoRing.buffer == nullptr) return 1;
  if (link::ring_used(videoRing.write_pos, videoRing.read_pos, videoRing.size) <
      kFrameRecordHeaderSize)
    return 1;
  std::array<uint8_t, kFrameRecordHeaderSize> raw{};
  if (link::ring_read(&videoRing, raw.data(), kFrameRecordHeaderSize) != 0) return 1;
  FrameRecordHeader h;
  FrameRecordHeader::parse(raw, h);
  // A record shorter than its own header is as impossible as an oversized one.
  if (h.totalLength >= kMaxFrameRecordLength || h.totalLength < kFrameRecordHeaderSize ||
      h.channel > kCompositeChannel) {
    discardVideoRing();
    return 1;
  }
  uint32_t rest = h.totalLength - kFrameRecordHeaderSize;
  const int32_t mode = session_->mode;

  if (!frameBuffer_) return dropFrame(h, rest, DropReason::NoFrameBuffer);
  if (h.requestCounter != 0 && h.requestCounter != session_->sendSequence)
    return dropFrame(h, rest, DropReason::StaleRequest);
  if (mode != kModeLive && h.channel == kCompositeChannel)
    return dropFrame(h, rest, DropReason::CompositeNotLive);

  ViewerFeedback& fb = feedback();
  ChannelClock& clk = clocks[h.channel];
  if (h.channelSequence != fb.words[ViewerFeedback::sequenceWord(h.channel)] + 1) clk.resync = 1;

  std::array<uint8_t, kPictureHeaderSize> rawPicture{};
  if (rest < kPictureHeaderSize ||
      link::ring_read(&videoRing, rawPicture.data(), kPictureHeaderSize) != 0)
    return dropFrame(h, rest, DropReason::Truncated);
  rest -= kPictureHeaderSize;
  PictureHeader p;
  PictureHeader::parse(rawPicture, p);
  if (!p.valid()) return dropFrame(h, rest, DropReason::BadHeader);
  if (clk.resync && !p.keyFrame()) return dropFrame(h, rest, DropReason::AwaitingKeyFrame);

  interlaced = p.interlaced() ? 1 : 0;

  // The access unit: parameter sets (key frames) or the picture header (backup), then the
  // payload. Its length is what was put here, not what the header's length field claims.
  uint8_t* buffer = frameBuffer_.get();
  uint32_t prefix = 0;
  if (mode == kModeBackup) {
    std::copy(rawPicture.begin(), rawPicture.end(), buffer);
    prefix = kPictureHeaderSize;
  } else if (p.keyFrame()) {
    const int n = buildParameterSets(p.widthMbs, p.heightMbs, kDecoderForm, buffer);
    if (n < 0) return dropFrame(h, rest, DropReason::BadHeader);
    keyFrameQueued = 1;
    prefix = uint32_t(n);
  }
  if (rest > kFrameBufferSize - prefix) return dropFrame(h, rest, DropReason::Truncated);
  if (rest > 0 && link::ring_read(&videoRing, buffer + prefix, rest) != 0)
    return dropFrame(h, rest, DropReason::Truncated);
  const uint32_t length = prefix + rest;

  const uint32_t kind = p.streamKind();
  if (!stream_fits_mode(mode, kind)) {
    fb.words[kFeedbackFrameId] = h.frameId;
    ++stats_.dropped;
    ++stats_.dropped_by_reason[size_t(DropReason::WrongStreamKind)];
    return 0;
  }
  if (mode == kModePlayback) {
    const uint32_t direction =
        platform::load_u32le(session_->playback.data() + channels::kPlaybackDirection);
    if (direction != directionApplied) {
      directionApplied = direction;
      retimeChannels();
    }
    const uint32_t selected =
        platform::load_u32le(session_->playback.data() + channels::kPlaybackChannel);
    if (p.cameraChannel() != selected) {
      fb.words[kFeedbackFrameId] = h.frameId;
      ++stats_.dropped;
      ++stats_.dropped_by_reason[size_t(DropReason::WrongChannel)];
      return 0;
    }
  }
  if (kind != streamKind) {
    streamKind = kind;
    clk.resync = 1;
    retimeChannels();
  }

  fb.words[ViewerFeedback::sequenceWord(h.channel)] = h.channelSequence;
  videoStarted = 1;

  const bool fast = mode == kModeLive && owner_.fastLivePacing_;
  uint32_t interval = h.frameInterval;
  if (fast || mode == kModePlayback) interval = p.rateIntervalMs();

  uint64_t percent = 100;
  if (mode == kModeLive) {
    const int64_t rate = fps();
    int64_t lag = 0;
    if (clk.newestSeconds > h.seconds) {
      lag = int64_t(clk.newestSeconds - h.seconds) * rate + int64_t(clk.newestFrame) -
            int64_t(h.frameInSecond);
    }
    if (lag > rate) {
      const int64_t span = rate * kCatchUpSeconds;
      percent = uint64_t(std::max<int64_t>(0, (span - lag) * 100 / span));
    }
  }
  uint64_t advance = uint64_t(interval) * percent / 100;
  if (fast) advance = advance * 95 / 100;
  clk.due += uint32_t(advance);

  const uint32_t now = clockReading(h.channel);
  if (mode == kModePlayback) {
    if (int32_t(clk.due - now) < 0) clk.due = now + interval;
  } else if (int32_t(now - clk.due) > kLateMs) {
    clk.due = now;
  }

  if (clk.resync) {
    clk.due = now;
    clk.resyncTime.store(p.time, std::memory_order_relaxed);
    clk.resyncFrame.store(p.frameNumber, std::memory_order_relaxed);
    lastOffset = p.timeOffset;
    offsetChanges = 0;
    setTimeLabelsVisible(false);
    labelShowCounter_ = 0;
    clk.resync = 0;
    ++stats_.resyncs;
  }

  recomputeCredit();
  pendingFrameId = h.frameId;
  readClock = generalClock() * 100;
  pending = length;

  // A DVR that keeps flipping its time offset gets none, until the next resync.
  if (offsetChanges < kOffsetChangeLimit) {
    offsetChanges = p.timeOffset != lastOffset ? offsetChanges + 1 : 0;
  }
  const uint32_t offset = offsetChanges >= kOffsetChangeLimit ? 0 : p.timeOffset;
  lastOffset = offset;
  if (labelShowCounter_ < kLabelShowAfter) {
    ++labelShowCounter_;
  } else {
    setTimeLabelsVisible(true);
  }

  channel = h.channel;
  displayTime = p.time + offset;
  displayOffset = offset;
  pictureTime = p.time;
  pictureFrame = p.frameNumber;
  pictureChannel = p.cameraChannel();
  if (mode == kModePlayback && displayTime != lastPlaybackTime_) {
    lastPlaybackTime_ = displayTime;
    if (owner_.hooks_.playback_time_changed)
      owner_.hooks_.playback_time_changed(slot_, displayTime);
  }
  owner_.audioBias_.store(p.widthMbs == 44 || p.widthMbs == 22 ? 128 : 0,
                          std::memory_order_relaxed);

  return serviceWaiting();
}

int Viewer::presentPending() {
  if (pending == 0 || session_ == nullptr) return 0;
  ChannelClock& clk = clocks[channel];
  const int32_t ahead = int32_t(clk.due - clockReading(channel));
  if (ahead > kEarlyMs) {
    if (session_->mode == kModePlayback) return 1;
    // A live due time far ahead is not believed; the composite channel is never held.
    if (channel < kCompositeChannel && ahead < kUnbelievableMs) return 1;
  }
  if (pictureChannel <= 1) {
    clocks[pictureChannel].shownPosition.store((pictureTime & 0xFFFFFF) * fps() + pictureFrame,
                                               std::memory_order_relaxed);
  }

  const DecoderPort& port = owner_.decoder_;
  if (keyFrameQueued) {
    keyFrameQueued = 0;
    if (port.key_frame_queued) port.key_frame_queued(slot_);
  }
  const uint32_t start = owner_.clock_.now_ms();
  conversionMs_ = 0;
  if (port.decode) port.decode(slot_, frameBuffer_.get(), pending);
  const uint32_t spent = owner_.clock_.now_ms() - start;
  pending = 0;
  ViewerFeedback& fb = feedback();
  fb.words[kFeedbackFrameId] = pendingFrameId;
  ++stats_.presented;
  ++stats_.decode_count;
  stats_.decode_ms += spent - std::min(conversionMs_, spent);

  uint32_t cost = (generalClock() * 100 - readClock) / 2000 + spent;
  if (cost == 0) cost = 10;
  uint32_t& smoothed = fb.words[ViewerFeedback::costWord(channel)];
  const uint64_t c = smoothed;
  smoothed =
      uint32_t(c > cost ? (7 * c + 3 * uint64_t(cost)) / 10 : (3 * c + 7 * uint64_t(cost)) / 10);

  if (port.take_damaged && port.take_damaged(slot_)) {
    clk.resync = 1;
    ++stats_.damaged;
  }
  return 1;
}

void Viewer::resetChannel(uint32_t c) {
  clocks[c].resync = 1;
  clocks[c].due = 0;
  feedback().words[ViewerFeedback::costWord(c)] = 0;
  epochs_[c] = owner_.clock_.now_ms();
}

void Viewer::flushViewer(uint32_t n) {
  videoRing.read_pos = 0;
  videoRing.write_pos = 0;
  pending = 0;
  if (n == 0) {
    for (uint32_t c = 0; c < kChannelClocks; ++c) resetChannel(c);
  } else {
    resetChannel(n <= kChannelClocks ? n - 1 : 0);
  }
  recomputeCredit();
}

void Viewer::retimeChannels() {
  const uint32_t now = owner_.clock_.now_ms();
  for (uint32_t c = 0; c < kChannelClocks; ++c) {
    clocks[c].due = 0;
    epochs_[c] = now;
  }
}

void Viewer::allocateBuffers() {
  if (!videoStorage_) {
    videoStorage_.reset(new uint8_t[kViewerRingSize]);
    videoRing = link::ByteRing{0, 0, kViewerRingSize, videoStorage_.get()};
  }
  if (!audioStorage_) {
    audioStorage_.reset(new uint8_t[kViewerRingSize]);
    audioRing = link::ByteRing{0, 0, kViewerRingSize, audioStorage_.get()};
  }
  if (!frameBuffer_) {
    frameBuffer_.reset(new uint8_t[kFrameBufferSize]);
    flushViewer(0);
    owner_.vido_.clear_reorder_table(slot_);
  }
}

// ---------------------------------------------------------------------------------------
// Viewers

Viewers::Viewers(const platform::Clock& clock, link::Link& link, VideoChannel& vido)
    : clock_(clock), link_(link), vido_(vido) {
  for (int i = 0; i < kViewerCount; ++i) viewers_[i] = std::make_unique<Viewer>(*this, i);
}

void Viewers::bind(int slot, channels::SessionState* session,
                   const channels::DeviceIdentity* device) {
  if (slot < 0 || slot >= kViewerCount) return;
  Viewer& v = *viewers_[slot];
  v.session_ = session;
  v.device_ = device;
  vido_.attach(slot, &v, session, device);
}

int Viewers::attachView(int slot_index, std::string_view host, int port, int channel, int kind,
                        platform::Component* picture, platform::Component* label) {
  if (slot_index >= 1 || slot_index < -1) return -1;
  if (channel < 0 || channel > int(kCompositeChannel) || host.empty()) return -1;
  if (kind != kViewKindLive && kind != kViewKindPlayback) return -1;
  int slot = slot_index;
  if (slot == -1) {
    for (int i = 0; i < link::kSlotCount; ++i) {
      const link::ConnectionSlot& s = link_.slot(i);
      if (s.host == host && s.port == port) {
        slot = i;
        break;
      }
    }
    // Only the first slot takes views.
    if (slot != 0) return -1;
  }
  Viewer& v = *viewers_[slot];
  ViewList& list = kind == kViewKindLive ? v.liveViews[channel] : v.playbackViews[channel];
  if (list.count >= kViewNodesPerList) return -1;

  link::ConnectionSlot& s = link_.slot(slot);
  s.host.assign(host);
  s.port = port;
  list.nodes[list.count] = ViewNode{picture, label, {}};
  ++list.count;
  if (list.count == 1) {
    if (claim_.slot < 0) claim_ = DisplayClaim{slot, channel, kind};
    list.claim = claim_.slot == slot ? 1 : 0;
    v.allocateBuffers();
  }
  if (kind == kViewKindLive) {
    ++v.liveViewCount;
  } else {
    ++v.playbackViewCount;
  }
  return 0;
}

void Viewers::bindOutputs(int slot, platform::Component* picture, platform::Component* label) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  const std::string host = link_.slot(slot).host;
  const int port = link_.slot(slot).port;
  attachView(slot, host, port, 0, kViewKindLive, picture, label);
  attachView(slot, host, port, 0, kViewKindPlayback, picture, label);
}

void Viewers::serviceViewers() {
  for (int i = 0; i < kViewerCount; ++i) {
    Viewer& v = *viewers_[i];
    if (v.session_ == nullptr || vido_.state(i).slot < 0) continue;
    for (int step = 0; step < kStepsPerTick; ++step) {
      if (v.videoStep() == 1) break;
    }
    if (v.session_->mode == kModeBackup && hooks_.audio_step) {
      for (int step = 0; step < kStepsPerTick; ++step) {
        if (hooks_.audio_step(v) == 1) break;
      }
    }
  }
}

void Viewers::updateTimeLabels(Viewer& v) {
  if (v.session_ == nullptr) return;
  const ViewList& list = v.session_->mode == kModeLive ? v.liveViews[0] : v.playbackViews[0];
  if (list.count == 0) return;
  char text[platform::kTimeTextLength + 1];
  platform::timeText(v.displayTime, text, sizeof text);
  for (uint32_t i = 0; i < list.count; ++i) {
    if (platform::Component* label = list.nodes[i].label) label->set_caption(text);
  }
}

void Viewers::presentDecoded(int index, const DecodedPicture& picture) {
  if (index < 0 || index >= kViewerCount) return;
  Viewer& v = *viewers_[index];
  if (v.session_ == nullptr || v.session_->mode == channels::kModeSetup) return;
  if (claim_.slot != index) return;
  const ViewList& list = v.session_->mode == kModeLive ? v.liveViews[0] : v.playbackViews[0];
  if (list.count == 0) return;
  updateTimeLabels(v);
  platform::Component* image = nullptr;
  for (uint32_t i = 0; i < list.count && image == nullptr; ++i) image = list.nodes[i].picture;
  if (converter_ == nullptr || image == nullptr) return;
  const uint32_t start = clock_.now_ms();
  const PictureContext context{v.session_->mode, v.interlaced != 0};
  const int rc = converter_->presentPicture(picture, context, *image);
  const uint32_t spent = clock_.now_ms() - start;
  v.conversionMs_ += spent;
  v.stats_.conversion_ms += spent;
  ++v.stats_.conversion_count;
  if (rc == 0) ++v.stats_.drawn;
}

}  // namespace tessomar::video
