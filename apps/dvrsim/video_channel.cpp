#include "dvrsim/video_channel.h"

#include <algorithm>

#include "dvrsim/audio_block.h"
#include "dvrsim/frame_record.h"
#include "dvrsim/server.h"
#include "dvrsim/settings.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

constexpr size_t kSubTagAt = 36;
constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;
// The smallest message a picture can make; with less credit than this nothing is encoded.
constexpr size_t kSmallestPictureMessage =
    kHeaders + kFrameRecordHeaderSize + kPictureHeaderSize + kBlockUnit;
// Picture header byte 14: bits 2 and 3 hold the interlace mark.
constexpr size_t kInterlaceByte = kFrameRecordHeaderSize + 14;
// Record header word 8: the frame interval; picture header word 24: the frame rate code.
constexpr size_t kFrameIntervalAt = 8;
constexpr size_t kRateCodeAt = kFrameRecordHeaderSize + 24;

// Whether the control empties its reorder table when it sends this: it does for every view
// state or setup record it sends, and then expects arrival key 1 next.
bool resets_arrival_keys(uint32_t op, uint32_t record_id) {
  switch (record_id) {
    case kRecordLiveView:
    case kRecordPlayback:
    case kRecordBackup:
      return op == kIcmdSet || op == kIcmdReport;
    case kRecordSetup:
      return op == kIcmdQuery || op == kIcmdSet || op == kIcmdReport;
    default:
      return false;
  }
}

int32_t image_int(const std::array<uint8_t, kViewStateSize>& image, size_t at) {
  platform::ByteReader r(image);
  r.seek(at);
  return static_cast<int32_t>(r.u32le());
}

}  // namespace

VideoFormat video_format(Resolution resolution, bool pal) {
  switch (resolution) {
    case Resolution::kCif:
      return {352, 288, false};
    case Resolution::kHalf:
      return {704, pal ? 288 : 240, true};
    case Resolution::kFull:
    default:
      return {704, pal ? 576 : 480, false};
  }
}

uint32_t device_time_of(const platform::LocalDateTime& t) {
  static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  auto leap = [](int index) { return index % 4 == 0 && index % 100 != 0; };
  const int years = std::clamp(t.year - 2000, 0, 99);
  const int months = std::clamp(t.month - 1, 0, 11);
  const int days = std::clamp(t.day - 1, 0, 31);
  int64_t total = 0;
  for (int i = 0; i < years; ++i) total += leap(i) ? 366 : 365;
  for (int m = 0; m < months; ++m) total += kMonthDays[m] + (m == 1 && leap(years) ? 1 : 0);
  total += days;
  const int64_t seconds =
      total * 86400 + int64_t(t.hour) * 3600 + int64_t(t.minute) * 60 + t.second;
  return static_cast<uint32_t>(std::clamp<int64_t>(seconds, 1, UINT32_MAX));
}

VideoChannel::VideoChannel(const DeviceOptions& device, const platform::Clock& clock,
                           SettingsChannel& settings)
    : device_(device),
      clock_(clock),
      settings_(settings),
      format_(video_format(device.resolution, device.pal)),
      fps_(device.pal ? 25 : 30),
      archive_(clock, device.channels, device.archive_days) {}

VideoChannel::~VideoChannel() = default;

bool VideoChannel::attach(Simulator& sim) {
  if (!sim.channels().register_handler(
          kVidoTag, [this](ChannelContext& ctx, const ChannelMessage& m) { on_message(ctx, m); })) {
    return false;
  }
  sim_ = &sim;
  sim.add_session_listener([this](SessionEvent e, uint32_t key) {
    if (e == SessionEvent::kOpened) {
      streams_.try_emplace(key);
    } else {
      streams_.erase(key);
    }
  });
  settings_.add_message_listener(
      [this](uint32_t key, uint32_t op, uint32_t record_id) { on_settings(key, op, record_id); });
  sim.add_tick_hook([this](uint32_t now_ms) { tick(now_ms); }, [this] { return has_work(); });
  return true;
}

uint32_t VideoChannel::streaming_channel(uint32_t key) const {
  auto it = streams_.find(key);
  if (it == streams_.end()) return kNoChannel;
  const Stream& s = it->second;
  const bool flowing =
      s.mode == StreamMode::kLive || (s.mode != StreamMode::kNone && s.motion != Motion::kHold);
  return flowing ? s.channel : kNoChannel;
}

StreamMode VideoChannel::stream_mode(uint32_t key) const {
  auto it = streams_.find(key);
  return it == streams_.end() ? StreamMode::kNone : it->second.mode;
}

uint32_t VideoChannel::clamp_channel(int32_t c) const {
  const uint32_t last = std::clamp<uint32_t>(device_.channels, 1, 16) - 1;
  return c < 0 ? 0 : std::min(uint32_t(c), last);
}

uint32_t VideoChannel::device_time_of_view(uint32_t shown) const {
  return shown > device_.time_offset ? shown - device_.time_offset : 1;
}

uint32_t VideoChannel::credit(uint32_t key) const {
  auto it = streams_.find(key);
  return it == streams_.end() ? 0 : it->second.credit;
}

bool VideoChannel::has_work() const {
  for (const auto& [key, s] : streams_) {
    if (s.mode == StreamMode::kLive) return true;
    if (s.mode != StreamMode::kNone && (s.motion != Motion::kHold || !s.held.empty())) return true;
  }
  return false;
}

uint32_t VideoChannel::skipped_frames(uint32_t key) const {
  auto it = streams_.find(key);
  return it == streams_.end() ? 0 : it->second.skipped;
}

void VideoChannel::on_message(ChannelContext& ctx, const ChannelMessage& m) {
  const uint32_t key = ctx.session_key();
  // Only the frame's own session, whose credentials the transport checked, is served.
  if (m.bytes.size() < kHeaders || m.session_key() != key) return;
  // Frame records travel from the DVR only; anything but feedback is ignored.
  if (m.word(kSubTagAt) != kVidoFeedback) return;
  const auto payload = m.payload();
  if (payload.size() < kFeedbackSize) return;  // the control always sends the whole block
  platform::ByteReader r(payload);
  r.seek(4 * kFeedbackCreditWord);
  streams_[key].credit = r.u32le();
}

void VideoChannel::on_settings(uint32_t key, uint32_t op, uint32_t record_id) {
  Stream& s = streams_[key];  // sessions opened before attach() are learnt here
  if (resets_arrival_keys(op, record_id)) {
    s.records_sent = 0;
    // A DVR that switches streams sends nothing more of the old one: records still queued
    // would carry the old request's keys, which the new stream numbers afresh.
    if (sim_ != nullptr && sim_->drop_queued(key, kVidoTag) > 0) s.key_next = true;
  }
  if (!s.held.empty()) {
    // Its arrival key or request counter is stale now; the control will want a key frame
    // after the gap this leaves.
    s.held.clear();
    s.key_next = true;
  }
  if (op != kIcmdSet) return;
  const SessionView* view = settings_.session(key);
  if (view == nullptr) return;
  // A set of the mode's own record starts or changes its stream; any other set keeps the
  // stream only when it already belongs to the mode.
  switch (view->mode) {
    case 0:
      if (record_id == kRecordLiveView) {
        start_live(key, s);
      } else if (s.mode != StreamMode::kLive) {
        stop(s);
      }
      break;
    case 1:
      if (record_id == kRecordPlayback) {
        start_playback(key, s);
      } else if (s.mode != StreamMode::kPlayback) {
        stop(s);
      }
      break;
    case 2:
      if (record_id == kRecordBackup) {
        apply_backup(key, s);
      } else if (s.mode != StreamMode::kBackup) {
        stop(s);
      }
      break;
    default:
      stop(s);
      break;
  }
}

void VideoChannel::start_live(uint32_t key, Stream& s) {
  const SessionView* view = settings_.session(key);
  if (view == nullptr) return;
  const int32_t layout = image_int(view->live, 0);
  if (s.mode != StreamMode::kLive) {
    stop(s);
    s.mode = StreamMode::kLive;
    // The first picture may fall in the middle of a second: no sound until the next begins.
    s.audio_aligned = false;
    s.audio_block = kAudioBlocksPerSecond;
  }
  if (!s.live) {
    s.live =
        std::make_unique<LiveStream>(device_.channels, device_.pal, format_.width, format_.height);
    s.live->set_titles(titles_);
  }
  uint32_t channel;
  if (layout >= 1 && layout <= 3) {
    static constexpr uint32_t kTiles[3] = {4, 9, 16};
    s.live->set_composite(kTiles[layout - 1], clamp_channel(image_int(view->live, 4)));
    channel = LiveStream::kCompositeChannel;
  } else {
    channel = clamp_channel(image_int(view->live, 8));
  }
  // Only the shown channel keeps an encoder; the control restarts on a key frame anyway.
  if (s.channel != kNoChannel && s.channel != channel) s.live->release(s.channel);
  s.channel = channel;
  // Every set restarts the control's view of the channel: it waits for a key frame.
  s.live->force_key_frame(channel);
  s.key_next = false;
  s.next_due_ms = clock_.now_ms();
  s.due_remainder = 0;
}

void VideoChannel::begin_recorded(Stream& s, StreamMode mode, uint32_t channel) {
  if (s.mode != StreamMode::kPlayback && s.mode != StreamMode::kBackup) stop(s);
  if (!s.recorded) {
    s.recorded =
        std::make_unique<LiveStream>(device_.channels, device_.pal, format_.width, format_.height);
  }
  if (s.channel != kNoChannel && s.channel != channel) s.recorded->release(s.channel);
  s.mode = mode;
  s.channel = channel;
  // The control restarts its view of the channel with every set: it waits for a key frame.
  s.key_next = true;
  s.held.clear();
  s.next_due_ms = clock_.now_ms();
  s.due_remainder = 0;
}

void VideoChannel::start_playback(uint32_t key, Stream& s) {
  const SessionView* view = settings_.session(key);
  if (view == nullptr) return;
  const uint32_t channel = clamp_channel(image_int(view->playback, 8));
  const int32_t state = image_int(view->playback, 12);
  const int32_t direction = image_int(view->playback, 16);
  const uint32_t start = uint32_t(image_int(view->playback, 20));
  // Pause then play again sends the same start time: carry on from where the stream is.
  const bool same_place =
      s.mode == StreamMode::kPlayback && s.channel == channel && s.anchor == start;
  begin_recorded(s, StreamMode::kPlayback, channel);
  if (state == 1 && direction > 0) {
    s.motion = Motion::kScanForward;
  } else if (state == 1 && direction < 0) {
    s.motion = Motion::kScanBackward;
  } else if (state == 1 || state == 2) {
    s.motion = Motion::kPlay;
  } else {
    s.motion = Motion::kHold;
  }
  if (!same_place) {
    s.anchor = start;
    s.position = device_time_of_view(start);
    s.position_frame = 0;
  }
}

void VideoChannel::apply_backup(uint32_t key, Stream& s) {
  const SessionView* view = settings_.session(key);
  if (view == nullptr) return;
  const int32_t state = image_int(view->backup, 12);
  if (state == 2) {
    // Finishing: the control has stopped taking pictures; keep the copy where it is.
    if (s.mode == StreamMode::kBackup) {
      s.motion = Motion::kHold;
    } else {
      stop(s);
    }
    return;
  }
  const uint32_t start = device_time_of_view(uint32_t(image_int(view->backup, 16)));
  const uint32_t end = device_time_of_view(uint32_t(image_int(view->backup, 20)));
  if (state != 1 || start > end) {
    stop(s);
    return;
  }
  begin_recorded(s, StreamMode::kBackup, clamp_channel(image_int(view->backup, 8)));
  s.motion = Motion::kCopy;
  s.anchor = 0;
  s.position = start;
  s.position_frame = 0;
  s.window_end = end;
}

void VideoChannel::stop(Stream& s) {
  s.mode = StreamMode::kNone;
  s.channel = kNoChannel;
  s.live.reset();
  s.recorded.reset();
  s.motion = Motion::kHold;
  s.held.clear();
}

void VideoChannel::advance_due(Stream& s) {
  // 1000 / fps ms, with the remainder carried so that NTSC averages 30 pictures a second.
  s.next_due_ms += 1000 / fps_;
  s.due_remainder += 1000 % fps_;
  if (s.due_remainder >= fps_) {
    s.due_remainder -= fps_;
    ++s.next_due_ms;
  }
}

void VideoChannel::tick(uint32_t now_ms) {
  for (auto& [key, s] : streams_) {
    if (s.mode == StreamMode::kPlayback || s.mode == StreamMode::kBackup) {
      tick_recorded(key, s, now_ms);
      continue;
    }
    if (s.mode != StreamMode::kLive) continue;
    uint32_t made = 0;
    while (int32_t(now_ms - s.next_due_ms) >= 0 && made < kMaxCatchUpFrames) {
      produce(key, s);
      advance_due(s);
      ++made;
    }
    // Too far behind (a slow encoder or a stalled loop): the missed pictures are dropped.
    if (int32_t(now_ms - s.next_due_ms) >= 0) {
      s.next_due_ms = now_ms;
      s.due_remainder = 0;
      advance_due(s);
    }
  }
}

void VideoChannel::tick_recorded(uint32_t key, Stream& s, uint32_t now_ms) {
  if (s.motion == Motion::kHold) return;
  if (s.motion == Motion::kCopy) {
    for (uint32_t made = 0; made < kMaxBackupFramesPerTick; ++made) {
      if (s.position == 0 && s.held.empty()) {
        stop(s);  // the window is copied and everything is queued
        return;
      }
      if (!produce_recorded(key, s)) return;
    }
    return;
  }
  const bool scanning = s.motion != Motion::kPlay;
  uint32_t made = 0;
  while (int32_t(now_ms - s.next_due_ms) >= 0 && made < kMaxCatchUpFrames) {
    if (!produce_recorded(key, s)) break;
    if (scanning) {
      s.next_due_ms += kScanIntervalMs;
    } else {
      advance_due(s);
    }
    ++made;
  }
  // Behind (waiting for credit or the recording, or a stalled loop): the pace restarts from
  // now rather than catching up with a burst.
  if (int32_t(now_ms - s.next_due_ms) >= 0) {
    s.next_due_ms = now_ms;
    s.due_remainder = 0;
    if (scanning) {
      s.next_due_ms += kScanIntervalMs;
    } else {
      advance_due(s);
    }
  }
}

bool VideoChannel::settle_position(Stream& s) {
  if (s.position == 0) return false;
  if (archive_.recorded(s.channel, s.position)) return true;
  const uint32_t found = s.motion == Motion::kScanBackward
                             ? archive_.previous_recorded(s.channel, s.position)
                             : archive_.next_recorded(s.channel, s.position);
  if (s.motion == Motion::kCopy && (found == 0 || found > s.window_end)) {
    // The rest of the window holds no recording: a copy ends there, even when the window
    // reaches into the future.
    s.position = 0;
    return false;
  }
  // Before the archive's start, or past its end: playback waits until the recording grows.
  if (found == 0) return false;
  // A new piece of recording starts with a key frame, as a real recorder's file does.
  s.position = found;
  s.position_frame = 0;
  s.key_next = true;
  return true;
}

void VideoChannel::advance_position(Stream& s) {
  switch (s.motion) {
    case Motion::kScanForward:
      ++s.position;
      s.position_frame = 0;
      break;
    case Motion::kScanBackward:
      if (s.position > 0) --s.position;
      s.position_frame = 0;
      break;
    case Motion::kPlay:
    case Motion::kCopy:
      if (++s.position_frame >= fps_) {
        s.position_frame = 0;
        ++s.position;
      }
      if (s.motion == Motion::kCopy && s.position > s.window_end) s.position = 0;
      break;
    case Motion::kHold:
      break;
  }
}

bool VideoChannel::queue_within_credit(uint32_t key, Stream& s, std::span<const uint8_t> message) {
  const Session* session = sim_ != nullptr ? sim_->sessions().find(key) : nullptr;
  if (session == nullptr || session->queued_bytes + message.size() > s.credit ||
      !sim_->queue_message(key, message)) {
    return false;
  }
  ++s.records_sent;
  return true;
}

bool VideoChannel::produce_recorded(uint32_t key, Stream& s) {
  const Session* session = sim_ != nullptr ? sim_->sessions().find(key) : nullptr;
  if (session == nullptr || !s.recorded) return false;
  // A picture made earlier and held back for credit goes first, in its own slot.
  if (!s.held.empty()) {
    if (!queue_within_credit(key, s, s.held)) return false;
    s.held.clear();
    send_recorded_audio(key, s);
    return true;
  }
  if (session->queued_bytes + kSmallestPictureMessage > s.credit) return false;
  if (!settle_position(s)) return false;

  const bool scanning = s.motion == Motion::kScanForward || s.motion == Motion::kScanBackward;
  if (s.key_next || scanning) {
    s.recorded->force_key_frame(s.channel);
    s.key_next = false;
  }
  FrameRequest request;
  request.channel = s.channel;
  request.device_time = s.position;
  request.frame_in_second = s.position_frame;
  // The latest ICMD message's number is the control's own message counter, which its viewer
  // compares with every record.
  request.request_counter = settings_.latest_icmd_sequence(key);
  request.arrival_key = device_.generation >= 2 ? s.records_sent + 1 : 0;
  request.stream_kind = 1;
  request.time_offset = device_.time_offset;
  const bool made = s.recorded->next_record(request, record_);
  // Sound only at the recording's own pace (and in copies of it), right behind the picture
  // its block starts with.
  const bool with_sound = s.motion == Motion::kPlay || s.motion == Motion::kCopy;
  s.recorded_audio_second = s.position;
  s.recorded_audio_block =
      with_sound ? audio_block_at_frame(s.position_frame, fps_) : kAudioBlocksPerSecond;
  advance_position(s);
  // A picture that could not be made is skipped; the encoder restarts with a key frame.
  if (!made || record_.size() < kFrameRecordHeaderSize + kPictureHeaderSize) return true;
  if (format_.interlaced) {
    record_[kInterlaceByte] = uint8_t((record_[kInterlaceByte] & ~0x0C) | 1 << 2);
  }
  if (scanning) {
    // The control paces playback by the frame rate code: scans show a picture per interval.
    platform::ByteWriter w(record_);
    w.seek(kFrameIntervalAt);
    w.u32le(kScanIntervalMs);
    w.seek(kRateCodeAt);
    w.u32le(rate_code_for_interval(kScanIntervalMs) << 5);
  }
  if (!wrap_record(key)) return true;
  // A held picture has the next arrival key: its block follows once it is sent.
  if (!queue_within_credit(key, s, message_)) {
    s.held = message_;
    return true;
  }
  send_recorded_audio(key, s);
  return true;
}

bool VideoChannel::wrap_record(uint32_t key) {
  message_.assign(kHeaders + record_.size(), 0);
  platform::ByteWriter w(message_);
  w.u32le(uint32_t(message_.size()));
  w.u32le(kVidoTag);
  w.seek(link::kMessageHeaderSize);
  w.u32le(key);
  w.u32le(kVidoFrameRecord);
  w.seek(kHeaders);
  w.bytes(record_.data(), record_.size());
  if (w.error()) return false;
  w.seek(8);
  w.u32le(link::message_checksum(message_.data() + link::kMessageHeaderSize,
                                 uint32_t(message_.size() - link::kMessageHeaderSize)));
  return true;
}

void VideoChannel::produce(uint32_t key, Stream& s) {
  // Every picture slot takes a frame number, whether or not the picture is sent.
  const uint32_t second = device_time_of(clock_.local_now());
  if (second != s.device_second) {
    s.device_second = second;
    s.frame_in_second = 0;
    s.audio_block = s.audio_aligned ? 0 : kAudioBlocksPerSecond;
  } else if (s.frame_in_second + 1 < fps_) {
    ++s.frame_in_second;
  }
  s.audio_aligned = true;
  produce_picture(key, s);
  produce_live_audio(key, s);
}

void VideoChannel::produce_live_audio(uint32_t key, Stream& s) {
  // Blocks whose start frame has come; a slot that skipped frames sends the missed ones.
  while (s.audio_block < kAudioBlocksPerSecond &&
         audio_block_start_frame(s.audio_block, fps_) <= s.frame_in_second) {
    send_audio(key, s, s.device_second, s.audio_block, 0);
    ++s.audio_block;
  }
}

void VideoChannel::send_audio(uint32_t key, Stream& s, uint32_t device_time, uint32_t block,
                              uint8_t stream_kind, bool hold) {
  // The control plays sound only of a single view of channel 0 or 1: split pictures and
  // other channels carry none.
  if (!device_.audio || s.channel >= kAudioChannels || s.channel >= device_.channels) return;
  AudioRequest request;
  request.channel = s.channel;
  request.block = block;
  request.fps = fps_;
  request.device_time = device_time;
  request.sequence = s.audio_sequence[s.channel] + 1;
  request.request_counter = settings_.latest_icmd_sequence(key);
  request.arrival_key = device_.generation >= 2 ? s.records_sent + 1 : 0;
  request.stream_kind = stream_kind;
  request.time_offset = device_.time_offset;
  if (!build_audio_record(request, record_) || !wrap_record(key)) return;
  ++s.audio_sequence[s.channel];
  if (!queue_within_credit(key, s, message_)) {
    if (hold) {
      s.held = message_;
    } else {
      --s.audio_sequence[s.channel];
    }
  }
}

void VideoChannel::send_recorded_audio(uint32_t key, Stream& s) {
  const uint32_t block = s.recorded_audio_block;
  s.recorded_audio_block = kAudioBlocksPerSecond;
  if (block < kAudioBlocksPerSecond) {
    send_audio(key, s, s.recorded_audio_second, block, 1, /*hold=*/true);
  }
}

void VideoChannel::produce_picture(uint32_t key, Stream& s) {
  const Session* session = sim_ != nullptr ? sim_->sessions().find(key) : nullptr;
  if (session == nullptr || !s.live) return;
  const size_t queued = session->queued_bytes;
  auto skip = [&s] {
    // The control may have lost pictures too; a key frame lets it restart at once.
    s.key_next = true;
    ++s.skipped;
  };
  if (queued + kSmallestPictureMessage > s.credit) {
    skip();
    return;
  }
  if (s.key_next) {
    s.live->force_key_frame(s.channel);
    s.key_next = false;
  }

  FrameRequest request;
  request.channel = s.channel;
  request.device_time = s.device_second;
  request.frame_in_second = s.frame_in_second;
  request.request_counter = settings_.latest_icmd_sequence(key);
  // Generation 1 DVRs do not number their records; the control takes them in arrival order.
  request.arrival_key = device_.generation >= 2 ? s.records_sent + 1 : 0;
  request.stream_kind = 0;
  request.time_offset = device_.time_offset;
  // A picture that could not be made leaves the encoder to restart with a key frame.
  if (!s.live->next_record(request, record_)) return;
  if (record_.size() > kMaxFrameRecordSize) {
    skip();
    return;
  }
  if (format_.interlaced) {
    record_[kInterlaceByte] = uint8_t((record_[kInterlaceByte] & ~0x0C) | 1 << 2);
  }

  if (!wrap_record(key)) return;

  // The picture is made, so its channel sequence is used: a dropped one shows as a gap.
  if (queued + message_.size() > s.credit || !sim_->queue_message(key, message_)) {
    skip();
    return;
  }
  ++s.records_sent;
}

}  // namespace tessomar::dvrsim
