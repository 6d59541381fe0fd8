// Feeds arbitrary bytes to the bitmap file reader; a decoded bitmap must have a non-empty
// pixel store of exactly width x height.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/bmp.h"

using namespace tessomar::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bitmap bmp;
  std::string error;
  if (decode_bmp(std::span<const uint8_t>(data, size), bmp, error)) {
    if (bmp.width() <= 0 || bmp.height() <= 0 || bmp.empty()) __builtin_trap();
    // Touch the corners: the store must cover the whole picture.
    volatile uint32_t sink = bmp.pixel(0, 0) ^ bmp.pixel(bmp.width() - 1, bmp.height() - 1);
    (void)sink;
  } else if (error.empty()) {
    __builtin_trap();
  }
  return 0;
}
