#include "dvrsim/audio_block.h"

#include <array>
#include <cmath>
#include <numbers>

#include "dvrsim/frame_record.h"

namespace tessomar::dvrsim {

uint32_t audio_tone_hz(uint32_t channel) {
  static constexpr std::array<uint32_t, kAudioChannels> kTones = {440, 660};
  return channel < kAudioChannels ? kTones[channel] : 0;
}

uint32_t audio_block_at_frame(uint32_t frame, uint32_t fps) {
  if (fps == 0) return kAudioBlocksPerSecond;
  const uint32_t block = (frame * kAudioBlocksPerSecond + fps - 1) / fps;
  return block < kAudioBlocksPerSecond && audio_block_start_frame(block, fps) == frame
             ? block
             : kAudioBlocksPerSecond;
}

void audio_block_samples(uint32_t channel, uint32_t block,
                         std::span<int16_t, kAudioBlockSamples> out) {
  const uint32_t hz = audio_tone_hz(channel);
  for (uint32_t i = 0; i < kAudioBlockSamples; ++i) {
    const uint32_t n = block * kAudioBlockSamples + i;  // sample within the second
    if (n < kAudioMarkerSamples || hz == 0) {
      out[i] = 0;
      continue;
    }
    // Whole cycles per second: the phase is exact from the second's start, with no drift.
    const uint32_t phase = (n * hz) % kAudioSampleRate;
    const double angle = 2.0 * std::numbers::pi * double(phase) / double(kAudioSampleRate);
    out[i] = static_cast<int16_t>(std::lround(kAudioAmplitude * std::sin(angle)));
  }
}

bool build_audio_record(const AudioRequest& request, std::vector<uint8_t>& out) {
  out.clear();
  if (request.channel >= kAudioChannels || request.block >= kAudioBlocksPerSecond) return false;
  std::array<int16_t, kAudioBlockSamples> samples{};
  audio_block_samples(request.channel, request.block, samples);
  std::array<uint8_t, kAudioBlockLength - kPictureHeaderSize> payload{};
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    payload[2 * i] = uint8_t(v & 0xFF);
    payload[2 * i + 1] = uint8_t(v >> 8);
  }
  const uint32_t frame = audio_block_start_frame(request.block, request.fps);

  RecordInfo record;
  record.frame_interval_ms = kAudioBlockMs;
  record.channel_sequence = request.sequence;
  record.channel = request.channel;
  record.arrival_key = request.arrival_key;
  record.seconds = request.device_time;
  record.frame_in_second = frame;
  record.kind = kKindAudio;
  record.request_counter = request.request_counter;

  PictureInfo info;
  info.time = request.device_time;
  info.frame_number = uint8_t(frame);
  info.content_type = kContentAudio;
  info.channel = uint8_t(request.channel);
  info.key_frame = true;
  info.stream_kind = request.stream_kind;
  info.rate_code = rate_code_for_interval(kAudioBlockMs);
  info.time_offset = request.time_offset;
  return build_frame_record(record, info, payload, out);
}

}  // namespace tessomar::dvrsim
