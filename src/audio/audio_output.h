// Sound for the channel being watched: audio records are taken from slot 0's viewer audio
// ring, held back until the matching picture has been shown, turned into 8-bit samples,
// staged, and fed into the sound device's looping buffer in 512-byte blocks with a bounded
// latency. In Backup mode the records go to the backup writer instead of the speaker.
//
// Threads: `TAudioThread1` runs audioStep (outside Backup mode) and feedSoundBuffer; the UI
// thread runs audioStep in Backup mode, clearAudioChannel and publish_view. Everything the
// two share is an atomic word; the ring has one reader at a time (a short lock per step
// covers the hand-over at a mode change).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/log.h"
#include "platform/sound.h"
#include "video/viewer.h"

namespace tessomar::audio {

constexpr uint32_t kSoundBlockBytes = 512;
constexpr uint32_t kSoundBlocks = platform::kSoundBufferBytes / kSoundBlockBytes;
constexpr uint32_t kStagingBytes = 8388608;
constexpr uint32_t kMaxStagedBytes = 7680;  // 0.96 s: more and a block is dropped
constexpr uint32_t kUnderrunAhead = 128;    // bytes ahead of the cursor that count as running dry
constexpr uint32_t kMaxAudioRecord = 8192;  // a longer record means the ring lost its framing
constexpr int kAudioStepsPerCycle = 100;
// The audio thread's pause after a cycle: short after work; idle, until audio is queued or a
// picture is shown, or at most the idle pause (the play cursor is watched for running dry at
// 16 ms of sound left, so a playing output is looked at well within that).
constexpr std::chrono::microseconds kBusyPause{1000};
constexpr std::chrono::microseconds kPlayingIdlePause{8000};
constexpr std::chrono::microseconds kStoppedIdlePause{50000};

// What the audio step needs of slot 0's session and device, as the UI thread last saw it.
struct AudioViewState {
  bool session = false;  // slot 0 has a SessionState
  int32_t mode = 0;
  uint32_t sendSequence = 0;
  uint32_t liveSelected = 0;
  uint32_t liveLayout = 0;
  uint32_t playbackChannel = 0;
  uint32_t backupChannel = 0;
  uint32_t identityAudio = 0;  // 2: the DVR sends no audio
  uint32_t fps = 30;
};

struct AudioHooks {
  // Backup mode: the record waits in the viewer's frame buffer (pending set); one step of
  // the backup job. Unset: the record is dropped.
  std::function<int(video::Viewer& viewer)> backup_writer;
};

class AudioOutput {
 public:
  // `viewers` for slot 0's viewer and the picture width's sample bias; `speaker_on` is the
  // key form's speaker state (null reads as on); `devices` makes the sound device on start
  // (unset: no device).
  AudioOutput(video::Viewers& viewers, const std::atomic<int32_t>* speaker_on,
              platform::SoundDeviceFactory devices, const platform::Logger& logger);
  ~AudioOutput();
  AudioOutput(const AudioOutput&) = delete;
  AudioOutput& operator=(const AudioOutput&) = delete;

  AudioHooks& hooks() { return hooks_; }

  // UI thread: the session and device values the step reads.
  void publish_view(const AudioViewState& view);
  AudioViewState view() const;

  // One record of the viewer's audio ring: 1 when nothing more can be done now, 0 when the
  // caller may call again.
  int audioStep(video::Viewer& viewer);
  // At most one 512-byte block into the sound buffer; 1 or 0 like audioStep.
  int feedSoundBuffer();
  void restartSoundOutput();
  void startSoundOutput();
  void stopSoundOutput();
  // Any thread: the next accepted block chooses the channel again.
  void clearAudioChannel() { channel_.store(-1, std::memory_order_release); }

  // TAudioThread1: created suspended, resumed to run its cycle on slot 0's viewer until
  // terminated: a millisecond apart while there is work, and woken by the viewers' audio
  // wake-up when idle. Terminate waits for the thread to end.
  void create_thread_suspended();
  void resume_thread();
  void terminate_thread();
  bool thread_running() const { return thread_.joinable(); }
  // One cycle of the thread (tests drive it directly): true when it took a record or fed a
  // block.
  bool audio_cycle();
  // How long the thread waits for its wake-up after a cycle.
  std::chrono::microseconds pause_after_cycle(bool worked) const;

  // State for diagnostics and tests; read on the thread that runs the output.
  int32_t channel() const { return channel_.load(std::memory_order_acquire); }
  bool playing() const { return playing_ != 0; }
  int32_t mode() const { return mode_; }
  uint32_t level() const { return level_; }
  uint32_t staged() const { return (stagingWrite_ - stagingRead_) % kStagingBytes; }
  uint32_t writtenBytes() const { return writtenBytes_; }
  uint32_t blocksWritten() const { return blocksWritten_; }
  bool has_device() const { return device_ != nullptr; }
  uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }

 private:
  bool speaker_off() const {
    return speaker_on_ != nullptr && speaker_on_->load(std::memory_order_acquire) == 0;
  }
  // backup_allowed: false on the audio thread, which leaves Backup-mode records alone.
  int step(video::Viewer& viewer, bool backup_allowed);
  int step_locked(video::Viewer& viewer, link::ByteRing& ring, bool backup_allowed);
  void stage(const uint8_t* payload, uint32_t samples);
  void copy_block_to_device();
  void thread_main();
  bool terminated();

  video::Viewers& viewers_;
  const std::atomic<int32_t>* speaker_on_;
  platform::SoundDeviceFactory devices_;
  const platform::Logger& logger_;
  AudioHooks hooks_;

  // Published by the UI thread.
  std::atomic<bool> view_session_{false};
  std::atomic<int32_t> view_mode_{0};
  std::atomic<uint32_t> view_send_sequence_{0};
  std::atomic<uint32_t> view_live_selected_{0};
  std::atomic<uint32_t> view_live_layout_{0};
  std::atomic<uint32_t> view_playback_channel_{0};
  std::atomic<uint32_t> view_backup_channel_{0};
  std::atomic<uint32_t> view_identity_audio_{0};
  std::atomic<uint32_t> view_fps_{30};

  // The output (audio thread outside Backup mode). All zero at start-up.
  std::atomic<int32_t> channel_{0};
  int32_t mode_ = 0;
  uint32_t playing_ = 0;
  uint32_t lastCursor_ = 0;
  uint32_t writtenBytes_ = 0;
  uint32_t blocksWritten_ = 0;
  uint32_t cursorWraps_ = 0;
  uint32_t level_ = 0;
  uint32_t stagingRead_ = 0;
  uint32_t stagingWrite_ = 0;
  std::unique_ptr<uint8_t[]> staging_;
  std::unique_ptr<uint8_t[]> work_;  // one record's picture header and payload
  std::unique_ptr<platform::SoundDevice> device_;
  bool device_failure_logged_ = false;

  // One reader of the ring at a time (audio thread, or the UI thread in Backup mode).
  std::mutex reader_;

  std::thread thread_;
  std::mutex thread_mutex_;
  std::condition_variable thread_wake_;
  bool resumed_ = false;
  bool terminated_ = false;
  std::atomic<uint64_t> cycles_{0};
};

}  // namespace tessomar::audio
