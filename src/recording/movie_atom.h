// The movie atom written behind a file's media data: the sample tables of the video, sound
// and text tracks in a fixed QuickTime atom tree, followed by the sealed watermark record and
// zero padding to a 512-byte boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "recording/movie_state.h"

namespace tessomar::recording {

// Lengths of the atom and its tracks from the counts of the writer's state; a track that is
// left out has length 0.
struct MovieAtomLengths {
  uint32_t video = 0;
  uint32_t sound = 0;
  uint32_t text = 0;
  uint32_t moov = 0;
};
MovieAtomLengths movie_atom_lengths(const MovieWriter::State& s);

// The largest moov atom the table limits allow.
constexpr size_t kMaxMovieAtomSize =
    116 + (700 + video::kMaxParameterSetBytes + 4 * kMaxKeyFrames + 8 * kMaxVideoSamples) +
    (512 + 12 * kMaxChunkRuns + 4 * kMaxAudioChunks) + (591 + 8 * kMaxTextSamples);

// Builds the moov atom into out (at least kMaxMovieAtomSize bytes) and returns its length;
// 0 when out is too short.
size_t build_movie_atom(const MovieWriter::State& s, std::span<uint8_t> out);

// The length of the zero padding behind a watermark record written at offset p.
uint32_t padding_after_record(uint64_t p);

}  // namespace tessomar::recording
