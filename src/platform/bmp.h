// Reading of uncompressed Windows bitmap files (8-bit palette, 24- and 32-bit) into a Bitmap.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/bitmap.h"

namespace tessomar::platform {

bool decode_bmp(std::span<const uint8_t> file, Bitmap& out, std::string& error);
bool load_bmp(const std::string& path, Bitmap& out, std::string& error);

}  // namespace tessomar::platform
