#include "audio/audio_output.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "channels/session_state.h"
#include "link/ring.h"
#include "video/frame_record.h"

namespace tessomar::audio {

using channels::kModeBackup;
using channels::kModeLive;
using channels::kModePlayback;
using video::FrameRecordHeader;
using video::kFrameRecordHeaderSize;
using video::kPictureHeaderSize;
using video::PictureHeader;

AudioOutput::AudioOutput(video::Viewers& viewers, const std::atomic<int32_t>* speaker_on,
                         platform::SoundDeviceFactory devices, const platform::Logger& logger)
    : viewers_(viewers),
      speaker_on_(speaker_on),
      devices_(std::move(devices)),
      logger_(logger),
      staging_(new uint8_t[kStagingBytes]),
      work_(new uint8_t[kMaxAudioRecord]) {}

AudioOutput::~AudioOutput() {
  terminate_thread();
  stopSoundOutput();
}

void AudioOutput::publish_view(const AudioViewState& v) {
  view_mode_.store(v.mode, std::memory_order_relaxed);
  view_send_sequence_.store(v.sendSequence, std::memory_order_relaxed);
  view_live_selected_.store(v.liveSelected, std::memory_order_relaxed);
  view_live_layout_.store(v.liveLayout, std::memory_order_relaxed);
  view_playback_channel_.store(v.playbackChannel, std::memory_order_relaxed);
  view_backup_channel_.store(v.backupChannel, std::memory_order_relaxed);
  view_identity_audio_.store(v.identityAudio, std::memory_order_relaxed);
  view_fps_.store(v.fps, std::memory_order_relaxed);
  view_session_.store(v.session, std::memory_order_release);
}

AudioViewState AudioOutput::view() const {
  AudioViewState v;
  v.session = view_session_.load(std::memory_order_acquire);
  v.mode = view_mode_.load(std::memory_order_relaxed);
  v.sendSequence = view_send_sequence_.load(std::memory_order_relaxed);
  v.liveSelected = view_live_selected_.load(std::memory_order_relaxed);
  v.liveLayout = view_live_layout_.load(std::memory_order_relaxed);
  v.playbackChannel = view_playback_channel_.load(std::memory_order_relaxed);
  v.backupChannel = view_backup_channel_.load(std::memory_order_relaxed);
  v.identityAudio = view_identity_audio_.load(std::memory_order_relaxed);
  v.fps = view_fps_.load(std::memory_order_relaxed);
  return v;
}

int AudioOutput::audioStep(video::Viewer& viewer) { return step(viewer, true); }

int AudioOutput::step(video::Viewer& viewer, bool backup_allowed) {
  link::ByteRing* ring = viewer.audio_ring_reader();
  if (ring == nullptr) return 1;
  std::lock_guard<std::mutex> reader(reader_);
  return step_locked(viewer, *ring, backup_allowed);
}

int AudioOutput::step_locked(video::Viewer& viewer, link::ByteRing& ring, bool backup_allowed) {
  std::atomic_ref<uint32_t> write_pos(ring.write_pos);
  std::atomic_ref<uint32_t> read_pos(ring.read_pos);
  // The reader works on a copy and publishes its read position once the bytes are used, so
  // the writer never reuses bytes still being read (and a record given back was never
  // given up).
  link::ByteRing r{write_pos.load(std::memory_order_acquire),
                   read_pos.load(std::memory_order_relaxed), ring.size, ring.buffer};
  auto commit = [&] { read_pos.store(r.read_pos, std::memory_order_release); };
  auto discard_all = [&] {
    r.read_pos = r.write_pos;
    commit();
  };

  const AudioViewState v = view();
  const bool backup = v.mode == kModeBackup;
  if (backup && !backup_allowed) return 1;        // the UI thread takes the records now
  if (backup && viewer.pending() != 0) return 1;  // the backup job still holds a frame

  std::array<uint8_t, kFrameRecordHeaderSize> raw{};
  if (link::ring_read(&r, raw.data(), uint32_t(raw.size())) != 0) return 1;
  FrameRecordHeader h;
  FrameRecordHeader::parse(raw, h);
  if (h.totalLength >= kMaxAudioRecord || h.channel >= 2 ||
      h.totalLength < kFrameRecordHeaderSize + kPictureHeaderSize) {
    discard_all();
    return 1;
  }
  uint32_t rest = h.totalLength - kFrameRecordHeaderSize;

  uint8_t* dest = backup ? viewer.frame_buffer() : work_.get();
  auto drop = [&] {
    if (link::ring_skip(&r, rest) != 0) r.read_pos = r.write_pos;
    commit();
    return 0;
  };
  if (dest == nullptr) {
    drop();
    return 1;
  }
  if (h.requestCounter != 0 && h.requestCounter != v.sendSequence) return drop();

  if (link::ring_read(&r, dest, kPictureHeaderSize) != 0) return drop();
  rest -= kPictureHeaderSize;
  PictureHeader p;
  PictureHeader::parse(std::span<const uint8_t>(dest, kPictureHeaderSize), p);
  if (!p.valid()) return drop();
  if (link::ring_read(&r, dest + kPictureHeaderSize, rest) != 0) return drop();

  const uint32_t record_channel = p.cameraChannel();
  const uint32_t kind = p.streamKind();
  uint32_t c = 0;
  bool accepted = false;
  switch (v.mode) {
    case kModeLive:
      c = v.liveSelected;
      accepted = kind == video::kStreamLive && v.liveLayout == 0 && c == record_channel && c < 2;
      break;
    case kModePlayback:
      c = v.playbackChannel;
      accepted = c < 2 && kind == video::kStreamRecorded;
      break;
    case kModeBackup:
      c = v.backupChannel;
      accepted = c < 2 && kind == video::kStreamRecorded;
      break;
    default:
      break;
  }
  // From here on the record is used up (committed), except when it is given back.
  auto used = [&](int result) {
    commit();
    return result;
  };
  if (!accepted) return used(0);

  // The block's own length may claim more than the record carries; only what arrived is
  // handed on or played.
  const uint32_t block_length = uint32_t(p.lengthUnits) * 64;
  if (backup) {
    commit();
    if (hooks_.backup_writer) {
      viewer.set_pending(std::min(block_length, kPictureHeaderSize + rest));
      hooks_.backup_writer(viewer);
    }
    return 0;
  }

  if (v.identityAudio == 2) return used(0);
  const video::ChannelClock& clock = viewer.clock(c);
  const uint32_t resync_time = clock.resyncTime.load(std::memory_order_acquire);
  const uint32_t resync_frame = clock.resyncFrame.load(std::memory_order_acquire);
  if (p.time < resync_time || (p.time == resync_time && p.frameNumber < resync_frame)) {
    return used(0);
  }

  const int32_t playing_channel = channel_.load(std::memory_order_acquire);
  if (playing_channel != -1 && uint32_t(playing_channel) != record_channel) return used(0);

  // Ahead of the picture: the record stays in the ring (its read was never published).
  const uint32_t position = (p.time & 0xFFFFFF) * v.fps + p.frameNumber;
  const uint32_t shown = clock.shownPosition.load(std::memory_order_acquire);
  if (shown > 0 && shown < position) return 1;
  commit();

  if (playing_channel == -1) {
    playing_ = 1;
    channel_.store(int32_t(c), std::memory_order_release);
    // Older audio of another view never plays: everything queued so far goes.
    read_pos.store(write_pos.load(std::memory_order_acquire), std::memory_order_release);
    restartSoundOutput();
  }
  if (speaker_off()) {
    playing_ = 0;
    return 1;
  }
  if (playing_ == 0) {
    restartSoundOutput();
    playing_ = 1;
  }
  mode_ = v.mode;

  const uint32_t samples = std::min(block_length >= 64 ? (block_length - 64) / 2 : 0, rest / 2);
  stage(dest + kPictureHeaderSize, samples);
  return 0;
}

void AudioOutput::stage(const uint8_t* payload, uint32_t samples) {
  const uint32_t bias = viewers_.audioBias();
  uint32_t sum = 0;
  for (uint32_t i = 0; i < samples; ++i) {
    const uint8_t b = uint8_t(payload[2 * i + 1] + bias);
    staging_[(stagingWrite_ + i) % kStagingBytes] = b;
    sum += b;
  }
  if (samples > 0) level_ = std::min<uint32_t>(sum / samples, 255);
  stagingWrite_ = (stagingWrite_ + samples) % kStagingBytes;
}

int AudioOutput::feedSoundBuffer() {
  if (!device_) {
    stagingRead_ = stagingWrite_;
    return 1;
  }
  if (channel_.load(std::memory_order_acquire) == -1 || speaker_off()) {
    stagingRead_ = stagingWrite_;
    stopSoundOutput();
    return 1;
  }
  uint32_t staged_bytes = staged();
  if (staged_bytes > kMaxStagedBytes) {
    stagingRead_ = (stagingRead_ + kSoundBlockBytes) % kStagingBytes;
    staged_bytes -= kSoundBlockBytes;
  }
  if (writtenBytes_ > 0) {
    const uint32_t cursor = device_->play_cursor();
    if (cursor < lastCursor_) ++cursorWraps_;
    lastCursor_ = cursor;
    const uint32_t played = cursor + cursorWraps_ * platform::kSoundBufferBytes;
    // Signed: a cursor that overtook the written bytes is an underrun, not a full buffer.
    const int32_t ahead = int32_t(writtenBytes_ - played);
    if (ahead > int32_t(platform::kSoundBufferBytes - kSoundBlockBytes)) return 1;
    if (ahead < int32_t(kUnderrunAhead) && staged_bytes == 0) {
      // Running dry: hold the last level instead of clicking to silence.
      for (uint32_t i = 0; i < kSoundBlockBytes; ++i) {
        staging_[(stagingWrite_ + i) % kStagingBytes] = uint8_t(level_);
      }
      stagingWrite_ = (stagingWrite_ + kSoundBlockBytes) % kStagingBytes;
      staged_bytes = kSoundBlockBytes;
    }
  }
  if (staged_bytes < kSoundBlockBytes) return 1;
  if (writtenBytes_ == 0) writtenBytes_ = lastCursor_ = device_->play_cursor();
  writtenBytes_ += kSoundBlockBytes;
  copy_block_to_device();
  stagingRead_ = (stagingRead_ + kSoundBlockBytes) % kStagingBytes;
  ++blocksWritten_;
  return 0;
}

void AudioOutput::copy_block_to_device() {
  std::array<uint8_t, kSoundBlockBytes> block{};
  for (uint32_t i = 0; i < kSoundBlockBytes; ++i) {
    block[i] = staging_[(stagingRead_ + i) % kStagingBytes];
  }
  device_->write((blocksWritten_ % kSoundBlocks) * kSoundBlockBytes, block.data(),
                 kSoundBlockBytes);
}

void AudioOutput::restartSoundOutput() {
  stopSoundOutput();
  lastCursor_ = 0;
  writtenBytes_ = 0;
  blocksWritten_ = 0;
  cursorWraps_ = 0;
  stagingRead_ = 0;
  stagingWrite_ = 0;
  startSoundOutput();
}

void AudioOutput::startSoundOutput() {
  if (!device_ && devices_) device_ = devices_();
  if (device_ && !device_->start()) device_.reset();
  if (!device_) {
    if (!device_failure_logged_) {
      logger_.warning("sound: no sound device could be created; the output stays silent");
      device_failure_logged_ = true;
    }
  }
}

void AudioOutput::stopSoundOutput() {
  if (!device_) return;
  device_->stop();
  device_.reset();
}

bool AudioOutput::audio_cycle() {
  const AudioViewState v = view();
  bool worked = false;
  if (v.session && v.mode != kModeBackup) {
    video::Viewer& viewer = viewers_.viewer(0);
    for (int i = 0; i < kAudioStepsPerCycle; ++i) {
      if (step(viewer, false) == 1) break;
      worked = true;
    }
  }
  if (feedSoundBuffer() == 0) worked = true;
  cycles_.fetch_add(1, std::memory_order_relaxed);
  return worked;
}

std::chrono::microseconds AudioOutput::pause_after_cycle(bool worked) const {
  // After work the next may be waiting (a full hundred steps, the next block): a short pause.
  // Idle, new work comes with queued audio or a shown picture, which ring the wake-up; the
  // timeout only needs to catch the play cursor running low while the output plays.
  if (worked) return kBusyPause;
  return playing_ != 0 ? kPlayingIdlePause : kStoppedIdlePause;
}

void AudioOutput::create_thread_suspended() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    resumed_ = false;
    terminated_ = false;
  }
  thread_ = std::thread([this] { thread_main(); });
}

void AudioOutput::resume_thread() {
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    resumed_ = true;
  }
  thread_wake_.notify_all();
}

void AudioOutput::terminate_thread() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    terminated_ = true;
  }
  thread_wake_.notify_all();
  viewers_.audio_wakeup().notify();
  thread_.join();
}

void AudioOutput::thread_main() {
  {
    std::unique_lock<std::mutex> lock(thread_mutex_);
    thread_wake_.wait(lock, [this] { return resumed_ || terminated_; });
  }
  platform::Wakeup& wakeup = viewers_.audio_wakeup();
  while (!terminated()) {
    const bool worked = audio_cycle();
    if (terminated()) break;
    wakeup.wait_for(pause_after_cycle(worked));
  }
}

bool AudioOutput::terminated() {
  std::lock_guard<std::mutex> lock(thread_mutex_);
  return terminated_;
}

}  // namespace tessomar::audio
