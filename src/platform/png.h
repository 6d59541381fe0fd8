// Writes a Bitmap as an 8-bit RGB PNG (the top byte of each pixel is not alpha).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bitmap.h"

namespace tessomar::platform {

// The PNG file bytes: stored (uncompressed) deflate blocks, so no compression library is needed.
std::vector<uint8_t> encode_png(const Bitmap& bitmap);
bool write_png(const Bitmap& bitmap, const std::string& path, std::string& error);

}  // namespace tessomar::platform
