// The sound device: one looping buffer of 16,384 bytes, 8-bit unsigned mono at 8,000 samples
// per second, played from position 0. The audio output writes 512-byte blocks into it ahead
// of the play cursor and paces itself by reading the cursor back.
//
// A device is used by one thread at a time (the audio thread while it runs). A backend whose
// own playback thread pulls from the buffer (a Qt QAudioSink, for instance) must make `write`
// and `play_cursor` safe against that thread itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace tessomar::platform {

constexpr uint32_t kSoundBufferBytes = 16384;
constexpr uint32_t kSoundSampleRate = 8000;  // one byte per sample: also bytes per second

class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  // Sets the play position to 0 and plays the buffer looping. False when it cannot.
  virtual bool start() = 0;
  virtual void stop() = 0;
  // Where playback is in the buffer, 0 to kSoundBufferBytes - 1.
  virtual uint32_t play_cursor() = 0;
  // Copies n bytes into the buffer at offset, wrapping at its end. False when nothing was
  // written.
  virtual bool write(uint32_t offset, const uint8_t* data, uint32_t n) = 0;
};

// Creates the device when the output starts; null when there is none to be had. The output
// releases the device on every stop and asks again on the next start.
using SoundDeviceFactory = std::function<std::unique_ptr<SoundDevice>()>;

// The looping buffer and a virtual play cursor moving at 8,000 bytes per second of `clock`
// from the last start. Nothing is heard.
class NullSoundDevice : public SoundDevice {
 public:
  explicit NullSoundDevice(const Clock& clock);
  bool start() override;
  void stop() override;
  uint32_t play_cursor() override;
  bool write(uint32_t offset, const uint8_t* data, uint32_t n) override;

  bool playing() const { return playing_; }
  const std::vector<uint8_t>& buffer() const { return buffer_; }

 protected:
  // Bytes played since the last start (the cursor stays where it stopped while stopped).
  uint64_t played_bytes() const;

 private:
  const Clock& clock_;
  std::vector<uint8_t> buffer_;
  uint32_t start_ms_ = 0;
  uint32_t stopped_at_ = 0;
  bool playing_ = false;
};

// A mono 8-bit 8 kHz WAV file that grows as sound is played into it. The RIFF sizes are
// written when the file is closed (also by the destructor).
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // False (with the reason in *error when given) when the file cannot be created.
  bool open(const std::string& path, std::string* error = nullptr);
  bool is_open() const { return file_ != nullptr; }
  void append(const uint8_t* data, uint32_t n);
  void close();
  // Bytes of sound in the file; any thread may read it while the audio thread appends.
  uint32_t data_bytes() const { return data_bytes_.load(std::memory_order_acquire); }

 private:
  std::FILE* file_ = nullptr;
  std::atomic<uint32_t> data_bytes_{0};
};

// A null device whose played bytes also go into a WAV file: whatever passes the play cursor
// while the output plays is appended, so the file holds what a listener would have heard.
class WavCaptureSoundDevice final : public NullSoundDevice {
 public:
  WavCaptureSoundDevice(const Clock& clock, std::shared_ptr<WavWriter> writer);
  ~WavCaptureSoundDevice() override;
  bool start() override;
  void stop() override;
  uint32_t play_cursor() override;

 private:
  // Appends the bytes the cursor passed since the last call.
  void capture();

  std::shared_ptr<WavWriter> writer_;
  uint64_t captured_ = 0;
};

// Factories for hosts. The WAV one writes every output run into the one open writer; the
// file is finished when the last holder of the writer lets it go (or calls close). The writer
// is appended to on the audio thread: close it only once the output has stopped (after the
// control's unload query or its destruction).
SoundDeviceFactory null_sound_factory(const Clock& clock);
SoundDeviceFactory wav_capture_factory(const Clock& clock, std::shared_ptr<WavWriter> writer);

}  // namespace tessomar::platform
