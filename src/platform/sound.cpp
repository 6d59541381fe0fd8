#include "platform/sound.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/bytes.h"

namespace tessomar::platform {

namespace {
constexpr uint32_t kBytesPerMs = kSoundSampleRate / 1000;
constexpr size_t kWavHeaderBytes = 44;

std::array<uint8_t, kWavHeaderBytes> wav_header(uint32_t data_bytes) {
  std::array<uint8_t, kWavHeaderBytes> h{};
  auto tag = [&h](size_t at, const char* text) { std::memcpy(&h[at], text, 4); };
  tag(0, "RIFF");
  store_u32le(&h[4], uint32_t(kWavHeaderBytes - 8) + data_bytes);
  tag(8, "WAVE");
  tag(12, "fmt ");
  store_u32le(&h[16], 16);
  h[20] = 1;  // PCM
  h[22] = 1;  // mono
  store_u32le(&h[24], kSoundSampleRate);
  store_u32le(&h[28], kSoundSampleRate);  // bytes per second
  h[32] = 1;                              // block align
  h[34] = 8;                              // bits per sample
  tag(36, "data");
  store_u32le(&h[40], data_bytes);
  return h;
}
}  // namespace

NullSoundDevice::NullSoundDevice(const Clock& clock)
    : clock_(clock), buffer_(kSoundBufferBytes, 0x80) {}

bool NullSoundDevice::start() {
  start_ms_ = clock_.now_ms();
  stopped_at_ = 0;
  playing_ = true;
  return true;
}

void NullSoundDevice::stop() {
  if (!playing_) return;
  stopped_at_ = uint32_t(played_bytes() % kSoundBufferBytes);
  playing_ = false;
}

uint64_t NullSoundDevice::played_bytes() const {
  if (!playing_) return stopped_at_;
  return uint64_t(clock_.now_ms() - start_ms_) * kBytesPerMs;
}

uint32_t NullSoundDevice::play_cursor() { return uint32_t(played_bytes() % kSoundBufferBytes); }

bool NullSoundDevice::write(uint32_t offset, const uint8_t* data, uint32_t n) {
  if (n > kSoundBufferBytes) return false;
  for (uint32_t i = 0; i < n; ++i) buffer_[(offset + i) % kSoundBufferBytes] = data[i];
  return true;
}

WavWriter::~WavWriter() { close(); }

bool WavWriter::open(const std::string& path, std::string* error) {
  close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  data_bytes_.store(0, std::memory_order_release);
  const auto h = wav_header(0);
  std::fwrite(h.data(), 1, h.size(), file_);
  return true;
}

void WavWriter::append(const uint8_t* data, uint32_t n) {
  if (file_ == nullptr || n == 0) return;
  // The data chunk's size field is 32 bits; a capture stops growing before it overflows.
  const uint32_t room = UINT32_MAX - uint32_t(kWavHeaderBytes) - data_bytes();
  if (n > room) n = room;
  data_bytes_.fetch_add(uint32_t(std::fwrite(data, 1, n, file_)), std::memory_order_release);
}

void WavWriter::close() {
  if (file_ == nullptr) return;
  const auto h = wav_header(data_bytes());
  std::fseek(file_, 0, SEEK_SET);
  std::fwrite(h.data(), 1, h.size(), file_);
  std::fclose(file_);
  file_ = nullptr;
}

WavCaptureSoundDevice::WavCaptureSoundDevice(const Clock& clock, std::shared_ptr<WavWriter> writer)
    : NullSoundDevice(clock), writer_(std::move(writer)) {}

WavCaptureSoundDevice::~WavCaptureSoundDevice() { capture(); }

bool WavCaptureSoundDevice::start() {
  NullSoundDevice::start();
  captured_ = 0;
  return true;
}

void WavCaptureSoundDevice::stop() {
  capture();
  NullSoundDevice::stop();
}

uint32_t WavCaptureSoundDevice::play_cursor() {
  capture();
  return NullSoundDevice::play_cursor();
}

void WavCaptureSoundDevice::capture() {
  if (!playing() || !writer_) return;
  const uint64_t played = played_bytes();
  while (captured_ < played) {
    const uint32_t at = uint32_t(captured_ % kSoundBufferBytes);
    const uint64_t left = played - captured_;
    const uint32_t n = uint32_t(std::min<uint64_t>(left, kSoundBufferBytes - at));
    writer_->append(buffer().data() + at, n);
    captured_ += n;
  }
}

SoundDeviceFactory null_sound_factory(const Clock& clock) {
  return [&clock]() -> std::unique_ptr<SoundDevice> {
    return std::make_unique<NullSoundDevice>(clock);
  };
}

SoundDeviceFactory wav_capture_factory(const Clock& clock, std::shared_ptr<WavWriter> writer) {
  return [&clock, writer]() -> std::unique_ptr<SoundDevice> {
    if (!writer || !writer->is_open()) return nullptr;
    return std::make_unique<WavCaptureSoundDevice>(clock, writer);
  };
}

}  // namespace tessomar::platform
