// What the movie writer keeps about the file it writes: the picture geometry and clocks set
// by the first key frame, the gap filler's and the audio clock's counters, and the sample
// tables the movie atom indexes. The tables are fixed arrays sized for the limits, allocated
// once with the writer, so recording allocates nothing per item.
#pragma once

#include <array>
#include <cstdint>

#include "recording/movie_writer.h"
#include "video/parameter_sets.h"

namespace tessomar::recording {

constexpr uint32_t kMaxChunkRuns = kMaxChunkRunBytes / 12;

// One sample-to-chunk entry of the sound track.
struct ChunkRun {
  uint32_t first_chunk = 0;  // 1-based
  uint32_t samples = 0;      // samples per chunk
  uint32_t description = 1;
};

// Field factors (a, b, c, d) of a picture header's byte 14, bits 2 and 3.
std::array<uint32_t, 4> field_factors(uint8_t byte14);

struct MovieWriter::State {
  bool started = false;
  uint32_t position = 0;
  uint32_t mediaDataStart = 0;
  uint32_t windowStart = 0;
  uint32_t windowEnd = 0;
  bool pal = false;
  uint32_t pictureWidth = 0;
  uint32_t pictureHeight = 0;
  std::array<uint8_t, video::kMaxParameterSetBytes> parameterSets{};
  uint32_t parameterSetsLength = 0;
  std::array<uint8_t, video::kMaxParameterSetBytes> avcParameterSets{};
  uint32_t avcParameterSetsLength = 0;
  std::array<uint32_t, 4> fieldFactors{};
  uint8_t sampleBias = 0;
  uint32_t firstTime = 0;
  uint32_t firstFrame = 0;
  uint32_t lastVideoTime = 0;
  uint32_t frameNumber = 0;
  uint32_t fillTime = 0;
  uint32_t fillFrame = 0;
  int64_t expectedFrames = 0;
  int64_t writtenFrames = 0;
  bool waitForKey = false;

  uint32_t sampleCount = 0;
  std::array<uint32_t, kMaxVideoSamples> sampleSizes{};
  std::array<uint32_t, kMaxVideoSamples> sampleOffsets{};
  uint32_t keyFrameCount = 0;
  std::array<uint32_t, kMaxKeyFrames> keyFrames{};

  uint32_t audioSamples = 0;
  uint32_t chunkCount = 0;
  std::array<uint32_t, kMaxAudioChunks> chunkOffsets{};
  uint32_t chunkSize = 0;
  uint32_t chunkRunCount = 0;
  std::array<ChunkRun, kMaxChunkRuns> chunkRuns{};
  uint32_t lastAudioTime = 0;
  uint32_t lastAudioFrame = 0;
  uint8_t lastAudioByte = 0;

  uint32_t textCount = 0;
  std::array<uint32_t, kMaxTextSamples> textOffsets{};
  uint32_t lastTextSecond = 0;
  uint32_t dateOrder = 0;

  DiagnosticRecord diagnostics;  // process-wide: beginMovie leaves it alone
  WatermarkParameters watermark;

  uint32_t fps() const { return pal ? 25 : 30; }
};

}  // namespace tessomar::recording
