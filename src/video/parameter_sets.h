// The sequence and picture parameter sets the control puts in front of every key frame. The
// DVR sends bare slices; the stream's only geometry is the picture size in macroblocks, so
// the sets are synthesized from that size around a fixed Baseline template.
#pragma once

#include <cstdint>

namespace tessomar::video {

// Form 0: what the decoder is fed, each unit behind a four-byte big-endian length.
// Form 1: the body of a movie's avcC record (two-byte lengths, a 01 between the units and
// four zero bytes after the picture parameter set).
constexpr int kDecoderForm = 0;
constexpr int kAvcCForm = 1;

// Room the output always fits in, for any width and height of 1 to 255 macroblocks.
constexpr int kMaxParameterSetBytes = 40;

// Writes the sets for a picture of w_mbs x h_mbs macroblocks in the given form into out
// (at least kMaxParameterSetBytes long) and returns the number of bytes written; -1 without
// writing when a size is outside 1..255 or the form is unknown.
int buildParameterSets(int w_mbs, int h_mbs, int form, uint8_t* out);

}  // namespace tessomar::video
