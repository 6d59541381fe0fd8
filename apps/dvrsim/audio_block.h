// Audio records of the simulated DVR: the sound of cameras 0 and 1, sent on the VIDO channel
// beside the pictures. Each record holds one block of 0.1 s, 16-bit signed little-endian PCM,
// one channel, 8,000 samples per second:
//
//   record header: kind 2, channel 0 or 1, frameInterval 100, seconds and frameInSecond of
//     the picture shown when the block starts, channelSequence counting the channel's blocks.
//   picture header: content type 2, the same time and frame number, byte 14 bits 4-7 the
//     audio channel, block length 1,664 bytes (26 units of 64).
//   payload: 1,632 bytes; the control plays the first (1,664 - 64) / 2 = 800 samples, the
//     last 32 bytes are zero.
//
// Block b (0 to 9) of a second holds samples 800 b to 800 b + 799 of that second and starts
// at frame b * fps / 10 (rounded down). The sound is a sine tone, 440 Hz on channel 0 and
// 660 Hz on channel 1, amplitude 8,000, with phase 0 at each whole second of the picture
// time, interrupted by the marker: 50 ms of silence (samples 0 to 399 of every second, the
// start of block 0) at each whole second, so the tone stops as the burnt-in time turns over.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessomar::dvrsim {

inline constexpr uint32_t kAudioSampleRate = 8000;
inline constexpr uint32_t kAudioBlocksPerSecond = 10;
inline constexpr uint32_t kAudioBlockSamples = kAudioSampleRate / kAudioBlocksPerSecond;
inline constexpr uint32_t kAudioBlockMs = 1000 / kAudioBlocksPerSecond;
inline constexpr uint32_t kAudioMarkerSamples = 400;  // 50 ms of silence
inline constexpr int16_t kAudioAmplitude = 8000;
// Picture header plus payload; the control plays (length - 64) / 2 samples of it.
inline constexpr size_t kAudioBlockLength = 2 * kAudioBlockSamples + 64;
// Only these cameras have a microphone.
inline constexpr uint32_t kAudioChannels = 2;

// The tone of an audio channel, in Hz (0 for a channel without audio).
uint32_t audio_tone_hz(uint32_t channel);

// The frame at which block `block` of a second starts.
constexpr uint32_t audio_block_start_frame(uint32_t block, uint32_t fps) {
  return block * fps / kAudioBlocksPerSecond;
}

// The block that starts at `frame` of a second, or kAudioBlocksPerSecond when none does.
uint32_t audio_block_at_frame(uint32_t frame, uint32_t fps);

// The samples of block `block` of any second of an audio channel.
void audio_block_samples(uint32_t channel, uint32_t block,
                         std::span<int16_t, kAudioBlockSamples> out);

struct AudioRequest {
  uint32_t channel = 0;  // 0 or 1
  uint32_t block = 0;    // 0 to 9 within the second
  uint32_t fps = 25;
  uint32_t device_time = 0;
  uint32_t sequence = 0;  // the channel's running block number
  uint32_t request_counter = 0;
  uint32_t arrival_key = 0;
  uint8_t stream_kind = 0;  // 0 live, 1 recorded
  uint32_t time_offset = 0;
};

// Builds the audio record; false (out empty) for a channel without audio or a block past 9.
bool build_audio_record(const AudioRequest& request, std::vector<uint8_t>& out);

}  // namespace tessomar::dvrsim
