// The colour stage: fixed-point YUV to 0x00RRGGBB, four output rows per call, one chroma
// pair per two pixels shared by all four rows.
//   r = ((292 Cr) >> 8) - 146,  g = 125 - ((149 Cr + 101 Cb) >> 8),  b = ((516 Cb) >> 8) - 258
//   R = Y + r, G = Y + g, B = Y + b, each limited to 0..255.
#pragma once

#include <cstdint>

#include "video/picture_kernels.h"

namespace tessomar::video {

// Up to four rows of width pixels: y[t] and out[t] for t < rows; cb and cr hold
// (width + 1) / 2 samples for all of them.
struct ColourRows {
  const uint8_t* y[4] = {};
  uint32_t* out[4] = {};
  int rows = 0;
  const uint8_t* cb = nullptr;
  const uint8_t* cr = nullptr;
  int width = 0;
  // Rows on a 32-byte boundary may be written around the cache (the caller does not read
  // them back soon).
  bool write_around_cache = false;
};

using ColourRowsFn = void (*)(const ColourRows& job);

void convert_rows_scalar(const ColourRows& job);
// Same pixels as the scalar code, eight pixels at a time with SSE2; only where available.
void convert_rows_sse2(const ColourRows& job);

// Thirty-two pixels at a time with AVX2; only after the processor check (colour_rows_for).
void convert_rows_avx2(const ColourRows& job);

bool sse2_available();
// The kernel of a level, lowered to what the processor runs.
ColourRowsFn colour_rows_for(SimdLevel level);
// The fastest kernel this machine runs, or the scalar one when allow_simd is false.
ColourRowsFn select_colour_rows(bool allow_simd);

}  // namespace tessomar::video
