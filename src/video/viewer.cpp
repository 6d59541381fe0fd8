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

DecoderPort decoder_port(DecoderSlots& slots) {
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

uint32_t Viewer::clock_reading(uint32_t c) const {
  return owner_.clock_.now_ms() - epochs_[std::min<uint32_t>(c, kCompositeChannel)];
}

uint32_t Viewer::general_clock() const { return owner_.clock_.now_ms() - general_epoch_; }

uint32_t Viewer::fps() const {
  return device_ != nullptr && device_->video_standard != 0 ? 25 : 30;
}

void Viewer::recompute_credit() { feedback().words[kFeedbackCredit] = receive_credit(videoRing_); }

void Viewer::note_newest(uint32_t c, uint32_t seconds, uint32_t frameInSecond) {
  if (c > kCompositeChannel) return;
  clocks_[c].newestSeconds = seconds;
  clocks_[c].newestFrame = frameInSecond;
}

int Viewer::queue_video(const uint8_t* record, uint32_t n) {
  return link::ring_write(record, n, &videoRing_);
}

void Viewer::empty_video_ring() {
  videoRing_.read_pos = 0;
  videoRing_.write_pos = 0;
}

int Viewer::queue_audio(const uint8_t* record, uint32_t n) {
  if (audioRing_.buffer == nullptr) return -1;
  std::atomic_ref<uint32_t> write_pos(audioRing_.write_pos);
  std::atomic_ref<uint32_t> read_pos(audioRing_.read_pos);
  // Field by field: copying the whole descriptor would read the position the audio thread
  // writes without the atomic.
  link::ByteRing view{write_pos.load(std::memory_order_relaxed),
                      read_pos.load(std::memory_order_acquire), audioRing_.size, audioRing_.buffer};
  if (link::ring_write(record, n, &view) != 0) return -1;
  write_pos.store(view.write_pos, std::memory_order_release);
  owner_.audio_wakeup_.notify();
  return 0;
}

void Viewer::discard_video_ring() {
  videoRing_.read_pos = videoRing_.write_pos;
  ++stats_.framing_losses;
}

void Viewer::acknowledge_drop(const FrameRecordHeader& h, DropReason why) {
  feedback().words[kFeedbackFrameId] = h.frameId;
  ++stats_.dropped;
  ++stats_.dropped_by_reason[size_t(why)];
}

bool Viewer::drop_frame(const FrameRecordHeader& h, uint32_t remaining, DropReason why) {
  if (link::ring_skip(&videoRing_, remaining) != 0) discard_video_ring();
  acknowledge_drop(h, why);
  return false;
}

void Viewer::set_time_labels_visible(bool visible) {
  for (const ViewList* list : {&liveViews_[0], &playbackViews_[0]}) {
    for (uint32_t i = 0; i < list->count; ++i) {
      if (platform::Component* label = list->nodes[i].label) label->set_visible(visible);
    }
  }
}

int Viewer::service_waiting() {
  if (session_->mode == kModeBackup) {
    if (owner_.hooks_.service_backup) return owner_.hooks_.service_backup(*this);
    // No backup job to take it: acknowledge the frame so the DVR keeps streaming.
    if (pending_ != 0) {
      pending_ = 0;
      feedback().words[kFeedbackFrameId] = pendingFrameId_;
      ++stats_.backup_consumed;
    }
    return 0;
  }
  return presentPending();
}

int Viewer::videoStep() {
  if (session_ == nullptr) return 1;
  if (service_waiting() == 1) return 1;
  Incoming in;
  if (!read_record(in)) return 1;
  if (!check_picture(in) || !build_access_unit(in) || !fits_view(in)) return 0;
  accept(in);
  pace(in);
  hold_for_presentation(in);
  update_display_time(in);
  return service_waiting();
}

bool Viewer::read_record(Incoming& in) {
  if (videoRing_.buffer == nullptr) return false;
  if (link::ring_used(videoRing_.write_pos, videoRing_.read_pos, videoRing_.size) <
      kFrameRecordHeaderSize)
    return false;
  std::array<uint8_t, kFrameRecordHeaderSize> raw{};
  if (link::ring_read(&videoRing_, raw.data(), kFrameRecordHeaderSize) != 0) return false;
  FrameRecordHeader& h = in.h;
  FrameRecordHeader::parse(raw, h);
  // A record shorter than its own header is as impossible as an oversized one.
  if (h.totalLength >= kMaxFrameRecordLength || h.totalLength < kFrameRecordHeaderSize ||
      h.channel > kCompositeChannel) {
    discard_video_ring();
    return false;
  }
  in.rest = h.totalLength - kFrameRecordHeaderSize;
  in.mode = session_->mode;
  return true;
}

// Accept or drop, on what the record and picture headers say.
bool Viewer::check_picture(Incoming& in) {
  const FrameRecordHeader& h = in.h;
  if (!frameBuffer_) return drop_frame(h, in.rest, DropReason::NoFrameBuffer);
  if (h.requestCounter != 0 && h.requestCounter != session_->sendSequence)
    return drop_frame(h, in.rest, DropReason::StaleRequest);
  if (in.mode != kModeLive && h.channel == kCompositeChannel)
    return drop_frame(h, in.rest, DropReason::CompositeNotLive);

  ChannelClock& clk = clocks_[h.channel];
  if (h.channelSequence != feedback().words[ViewerFeedback::sequence_word(h.channel)] + 1)
    clk.resync = 1;

  if (in.rest < kPictureHeaderSize ||
      link::ring_read(&videoRing_, in.raw_picture.data(), kPictureHeaderSize) != 0)
    return drop_frame(h, in.rest, DropReason::Truncated);
  in.rest -= kPictureHeaderSize;
  PictureHeader::parse(in.raw_picture, in.p);
  if (!in.p.valid()) return drop_frame(h, in.rest, DropReason::BadHeader);
  if (clk.resync && !in.p.keyFrame()) return drop_frame(h, in.rest, DropReason::AwaitingKeyFrame);
  interlaced_ = in.p.interlaced() ? 1 : 0;
  return true;
}

// The access unit: parameter sets (key frames) or the picture header (backup), then the
// payload. Its length is what was put here, not what the header's length field claims.
bool Viewer::build_access_unit(Incoming& in) {
  const FrameRecordHeader& h = in.h;
  uint8_t* buffer = frameBuffer_.get();
  uint32_t prefix = 0;
  if (in.mode == kModeBackup) {
    std::copy(in.raw_picture.begin(), in.raw_picture.end(), buffer);
    prefix = kPictureHeaderSize;
  } else if (in.p.keyFrame()) {
    const int n = buildParameterSets(in.p.widthMbs, in.p.heightMbs, kDecoderForm, buffer);
    if (n < 0) return drop_frame(h, in.rest, DropReason::BadHeader);
    keyFrameQueued_ = 1;
    prefix = uint32_t(n);
  }
  if (in.rest > kFrameBufferSize - prefix) return drop_frame(h, in.rest, DropReason::Truncated);
  if (in.rest > 0 && link::ring_read(&videoRing_, buffer + prefix, in.rest) != 0)
    return drop_frame(h, in.rest, DropReason::Truncated);
  in.length = prefix + in.rest;
  return true;
}

// The stream must suit the mode, and in playback the picture must be of the selected camera.
// The record is read whole by now: a drop only acknowledges it.
bool Viewer::fits_view(const Incoming& in) {
  if (!stream_fits_mode(in.mode, in.p.streamKind())) {
    acknowledge_drop(in.h, DropReason::WrongStreamKind);
    return false;
  }
  if (in.mode != kModePlayback) return true;
  platform::ByteReader playback(session_->playback);
  playback.seek(channels::kPlaybackDirection);
  const uint32_t direction = playback.u32le();
  if (direction != directionApplied_) {
    directionApplied_ = direction;
    retimeChannels();
  }
  playback.seek(channels::kPlaybackChannel);
  const uint32_t selected = playback.u32le();
  if (in.p.cameraChannel() != selected) {
    acknowledge_drop(in.h, DropReason::WrongChannel);
    return false;
  }
  return true;
}

void Viewer::accept(const Incoming& in) {
  const uint32_t kind = in.p.streamKind();
  if (kind != streamKind_) {
    streamKind_ = kind;
    clocks_[in.h.channel].resync = 1;
    retimeChannels();
  }
  feedback().words[ViewerFeedback::sequence_word(in.h.channel)] = in.h.channelSequence;
  videoStarted_ = 1;
}

// When the picture is due: one frame interval after the last, shortened in live view by how
// far the channel lags behind the newest record heard.
void Viewer::pace(const Incoming& in) {
  const FrameRecordHeader& h = in.h;
  ChannelClock& clk = clocks_[h.channel];
  const bool fast = in.mode == kModeLive && owner_.fast_live_pacing_;
  uint32_t interval = h.frameInterval;
  if (fast || in.mode == kModePlayback) interval = in.p.rateIntervalMs();

  uint64_t percent = 100;
  if (in.mode == kModeLive) {
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

  const uint32_t now = clock_reading(h.channel);
  if (in.mode == kModePlayback) {
    if (int32_t(clk.due - now) < 0) clk.due = now + interval;
  } else if (int32_t(now - clk.due) > kLateMs) {
    clk.due = now;
  }
  if (clk.resync) resync_channel(in, now);
}

// A key frame after lost continuity: the channel is shown from now, and its time labels
// hide until a few frames have shown the time to be steady.
void Viewer::resync_channel(const Incoming& in, uint32_t now) {
  ChannelClock& clk = clocks_[in.h.channel];
  clk.due = now;
  clk.resyncTime.store(in.p.time, std::memory_order_relaxed);
  clk.resyncFrame.store(in.p.frameNumber, std::memory_order_relaxed);
  lastOffset_ = in.p.timeOffset;
  offsetChanges_ = 0;
  set_time_labels_visible(false);
  label_show_counter_ = 0;
  clk.resync = 0;
  ++stats_.resyncs;
}

void Viewer::hold_for_presentation(const Incoming& in) {
  recompute_credit();
  pendingFrameId_ = in.h.frameId;
  readClock_ = general_clock() * 100;
  pending_ = in.length;
}

void Viewer::update_display_time(const Incoming& in) {
  const PictureHeader& p = in.p;
  // A DVR that keeps flipping its time offset gets none, until the next resync.
  if (offsetChanges_ < kOffsetChangeLimit) {
    offsetChanges_ = p.timeOffset != lastOffset_ ? offsetChanges_ + 1 : 0;
  }
  const uint32_t offset = offsetChanges_ >= kOffsetChangeLimit ? 0 : p.timeOffset;
  lastOffset_ = offset;
  if (label_show_counter_ < kLabelShowAfter) {
    ++label_show_counter_;
  } else {
    set_time_labels_visible(true);
  }

  channel_ = in.h.channel;
  displayTime_ = p.time + offset;
  displayOffset_ = offset;
  pictureTime_ = p.time;
  pictureFrame_ = p.frameNumber;
  pictureChannel_ = p.cameraChannel();
  if (in.mode == kModePlayback && displayTime_ != last_playback_time_) {
    last_playback_time_ = displayTime_;
    if (owner_.hooks_.playback_time_changed)
      owner_.hooks_.playback_time_changed(slot_, displayTime_);
  }
  owner_.audioBias_.store(p.widthMbs == 44 || p.widthMbs == 22 ? 128 : 0,
                          std::memory_order_relaxed);
}

int Viewer::presentPending() {
  if (pending_ == 0 || session_ == nullptr) return 0;
  ChannelClock& clk = clocks_[channel_];
  const int32_t ahead = int32_t(clk.due - clock_reading(channel_));
  if (ahead > kEarlyMs) {
    if (session_->mode == kModePlayback) return 1;
    // A live due time far ahead is not believed; the composite channel is never held.
    if (channel_ < kCompositeChannel && ahead < kUnbelievableMs) return 1;
  }
  if (pictureChannel_ <= 1) {
    clocks_[pictureChannel_].shownPosition.store((pictureTime_ & 0xFFFFFF) * fps() + pictureFrame_,
                                                 std::memory_order_relaxed);
    // Audio held back until this picture may go now.
    if (std::atomic_ref<uint32_t>(audioRing_.read_pos).load(std::memory_order_relaxed) !=
        std::atomic_ref<uint32_t>(audioRing_.write_pos).load(std::memory_order_relaxed))
      owner_.audio_wakeup_.notify();
  }

  const DecoderPort& port = owner_.decoder_;
  if (keyFrameQueued_) {
    keyFrameQueued_ = 0;
    if (port.key_frame_queued) port.key_frame_queued(slot_);
  }
  const uint32_t start = owner_.clock_.now_ms();
  conversion_ms_ = 0;
  if (port.decode) port.decode(slot_, frameBuffer_.get(), pending_);
  const uint32_t spent = owner_.clock_.now_ms() - start;
  pending_ = 0;
  ViewerFeedback& fb = feedback();
  fb.words[kFeedbackFrameId] = pendingFrameId_;
  ++stats_.presented;
  ++stats_.decode_count;
  stats_.decode_ms += spent - std::min(conversion_ms_, spent);

  uint32_t cost = (general_clock() * 100 - readClock_) / 2000 + spent;
  if (cost == 0) cost = 10;
  uint32_t& smoothed = fb.words[ViewerFeedback::cost_word(channel_)];
  const uint64_t c = smoothed;
  smoothed =
      uint32_t(c > cost ? (7 * c + 3 * uint64_t(cost)) / 10 : (3 * c + 7 * uint64_t(cost)) / 10);

  if (port.take_damaged && port.take_damaged(slot_)) {
    clk.resync = 1;
    ++stats_.damaged;
  }
  return 1;
}

void Viewer::consume_waiting_frame() {
  if (pending_ == 0) return;
  pending_ = 0;
  feedback().words[kFeedbackFrameId] = pendingFrameId_;
}

void Viewer::mark_resync(uint32_t channel) {
  if (channel < kChannelClocks) clocks_[channel].resync = 1;
}

void Viewer::preview_key_frame(const uint8_t* unit, uint32_t size) {
  const DecoderPort& port = owner_.decoder_;
  if (port.key_frame_queued) port.key_frame_queued(slot_);
  if (port.decode) port.decode(slot_, unit, size);
  if (port.take_damaged) port.take_damaged(slot_);
}

void Viewer::reset_channel(uint32_t c) {
  clocks_[c].resync = 1;
  clocks_[c].due = 0;
  feedback().words[ViewerFeedback::cost_word(c)] = 0;
  epochs_[c] = owner_.clock_.now_ms();
}

void Viewer::flushViewer(uint32_t n) {
  videoRing_.read_pos = 0;
  videoRing_.write_pos = 0;
  pending_ = 0;
  if (n == 0) {
    for (uint32_t c = 0; c < kChannelClocks; ++c) reset_channel(c);
  } else {
    reset_channel(n <= kChannelClocks ? n - 1 : 0);
  }
  recompute_credit();
}

void Viewer::retimeChannels() {
  const uint32_t now = owner_.clock_.now_ms();
  for (uint32_t c = 0; c < kChannelClocks; ++c) {
    clocks_[c].due = 0;
    epochs_[c] = now;
  }
}

void Viewer::allocate_buffers() {
  if (!video_storage_) {
    video_storage_.reset(new uint8_t[kViewerRingSize]);
    videoRing_ = link::ByteRing{0, 0, kViewerRingSize, video_storage_.get()};
  }
  if (!audio_storage_) {
    audio_storage_.reset(new uint8_t[kViewerRingSize]);
    audioRing_ = link::ByteRing{0, 0, kViewerRingSize, audio_storage_.get()};
    audio_ring_published_.store(&audioRing_, std::memory_order_release);
  }
  if (!frameBuffer_) {
    frameBuffer_.reset(new uint8_t[kFrameBufferSize]);
    flushViewer(0);
    if (owner_.hooks_.clear_reorder_table) owner_.hooks_.clear_reorder_table(slot_);
  }
}

// ---------------------------------------------------------------------------------------
// Viewers

Viewers::Viewers(const platform::Clock& clock, link::Link& link) : clock_(clock), link_(link) {
  for (int i = 0; i < kViewerCount; ++i) viewers_[i] = std::make_unique<Viewer>(*this, i);
}

void Viewers::bind(int slot, channels::SessionState* session,
                   const channels::DeviceIdentity* device, ViewerFeedback* feedback) {
  if (slot < 0 || slot >= kViewerCount || feedback == nullptr) return;
  Viewer& v = *viewers_[slot];
  v.session_ = session;
  v.device_ = device;
  v.feedback_ = feedback;
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
  ViewList& list = kind == kViewKindLive ? v.liveViews_[channel] : v.playbackViews_[channel];
  if (list.count >= kViewNodesPerList) return -1;

  link::ConnectionSlot& s = link_.slot(slot);
  s.host.assign(host);
  s.port = port;
  list.nodes[list.count] = ViewNode{picture, label};
  ++list.count;
  if (list.count == 1) {
    if (claim_.slot < 0) claim_ = DisplayClaim{slot, channel, kind};
    list.claim = claim_.slot == slot ? 1 : 0;
    v.allocate_buffers();
  }
  if (kind == kViewKindLive) {
    ++v.liveViewCount_;
  } else {
    ++v.playbackViewCount_;
  }
  return 0;
}

void Viewers::bind_outputs(int slot, platform::Component* picture, platform::Component* label) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  const std::string host = link_.slot(slot).host;
  const int port = link_.slot(slot).port;
  attachView(slot, host, port, 0, kViewKindLive, picture, label);
  attachView(slot, host, port, 0, kViewKindPlayback, picture, label);
}

void Viewers::serviceViewers() {
  for (int i = 0; i < kViewerCount; ++i) {
    Viewer& v = *viewers_[i];
    if (v.session_ == nullptr) continue;
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

void Viewers::update_time_labels(Viewer& v) {
  if (v.session_ == nullptr) return;
  const ViewList& list = v.session_->mode == kModeLive ? v.liveViews_[0] : v.playbackViews_[0];
  if (list.count == 0) return;
  char text[platform::kTimeTextLength + 1];
  platform::timeText(v.displayTime_, text, sizeof text);
  for (uint32_t i = 0; i < list.count; ++i) {
    if (platform::Component* label = list.nodes[i].label) label->set_caption(text);
  }
}

void Viewers::present_decoded(int index, const DecodedPicture& picture) {
  if (index < 0 || index >= kViewerCount) return;
  Viewer& v = *viewers_[index];
  if (v.session_ == nullptr || v.session_->mode == channels::kModeSetup) return;
  if (claim_.slot != index) return;
  const ViewList& list = v.session_->mode == kModeLive ? v.liveViews_[0] : v.playbackViews_[0];
  if (list.count == 0) return;
  update_time_labels(v);
  platform::Component* image = nullptr;
  for (uint32_t i = 0; i < list.count && image == nullptr; ++i) image = list.nodes[i].picture;
  if (converter_ == nullptr || image == nullptr) return;
  const uint32_t start = clock_.now_ms();
  const PictureContext context{v.session_->mode, v.interlaced_ != 0};
  const int rc = converter_->presentPicture(picture, context, *image);
  const uint32_t spent = clock_.now_ms() - start;
  v.conversion_ms_ += spent;
  v.stats_.conversion_ms += spent;
  ++v.stats_.conversion_count;
  if (rc == 0) ++v.stats_.drawn;
}

}  // namespace tessomar::video
