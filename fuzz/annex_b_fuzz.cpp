// Feeds arbitrary bytes as an access unit to the length-prefix to start-code rewrite that fills
// the decoders' input buffer, which is not cleared beforehand: the output must fit, end in
// zero padding, and leave everything after the padding as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "video/decoder.h"

using namespace tessomar::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint8_t kStale = 0xA5;
  constexpr size_t kSpare = 8;
  const std::span<const uint8_t> in(data, size);
  std::vector<uint8_t> out(size + kDecoderInputPadding + kSpare, kStale);
  const int n = length_prefixed_to_annex_b(in, out);
  if (n < 0 || size_t(n) > size) __builtin_trap();
  const auto pad = out.begin() + n;
  if (!std::all_of(pad, pad + kDecoderInputPadding, [](uint8_t b) { return b == 0; })) {
    __builtin_trap();
  }
  if (!std::all_of(pad + kDecoderInputPadding, out.end(), [](uint8_t b) { return b == kStale; })) {
    __builtin_trap();
  }
  // Every unit starts with a start code.
  if (n > 0 && !(out[0] == 0 && out[1] == 0 && out[2] == 0 && out[3] == 1)) __builtin_trap();

  // Too little room for the padding is refused without writing.
  std::vector<uint8_t> small(size + kDecoderInputPadding - 1, kStale);
  if (length_prefixed_to_annex_b(in, small) != -1) __builtin_trap();
  if (!std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == kStale; })) {
    __builtin_trap();
  }
  return 0;
}
