#include "platform/bmp.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/bytes.h"

namespace tessomar::platform {

bool decode_bmp(std::span<const uint8_t> file, Bitmap& out, std::string& error) {
  platform::ByteReader r(file);
  if (r.u8() != 'B' || r.u8() != 'M') {
    error = "not a bitmap file";
    return false;
  }
  r.skip(8);
  uint32_t data_offset = r.u32le();
  uint32_t header_size = r.u32le();
  int32_t width = static_cast<int32_t>(r.u32le());
  int32_t height = static_cast<int32_t>(r.u32le());
  uint16_t planes = r.u16le();
  uint16_t bits = r.u16le();
  uint32_t compression = r.u32le();
  if (r.error() || header_size < 40 || planes != 1) {
    error = "bad bitmap header";
    return false;
  }
  if (compression != 0 || (bits != 8 && bits != 24 && bits != 32)) {
    error = "only uncompressed 8-, 24- and 32-bit bitmaps are read";
    return false;
  }
  bool top_down = height < 0;
  int64_t h = top_down ? -int64_t(height) : height;
  if (width <= 0 || h <= 0 || width > 16384 || h > 16384) {
    error = "bad bitmap size";
    return false;
  }
  uint32_t palette[256] = {};
  if (bits == 8) {
    r.seek(14 + header_size);
    for (int i = 0; i < 256 && !r.error() && r.pos() + 4 <= data_offset; ++i) {
      uint8_t b = r.u8(), g = r.u8(), rr = r.u8();
      r.u8();
      palette[i] = uint32_t(rr) << 16 | uint32_t(g) << 8 | b;
    }
  }
  size_t stride = ((size_t(width) * bits + 31) / 32) * 4;
  if (data_offset > file.size() || file.size() - data_offset < stride * size_t(h)) {
    error = "bitmap data is truncated";
    return false;
  }
  out.resize(width, int(h));
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t* src = file.data() + data_offset + stride * size_t(y);
    auto dst = out.row(int(top_down ? y : h - 1 - y));
    for (int x = 0; x < width; ++x) {
      switch (bits) {
        case 8:
          dst[x] = palette[src[x]];
          break;
        case 24:
          dst[x] = uint32_t(src[3 * x + 2]) << 16 | uint32_t(src[3 * x + 1]) << 8 | src[3 * x];
          break;
        default:
          dst[x] = uint32_t(src[4 * x + 2]) << 16 | uint32_t(src[4 * x + 1]) << 8 | src[4 * x];
          break;
      }
    }
  }
  return true;
}

bool load_bmp(const std::string& path, Bitmap& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return decode_bmp(bytes, out, error);
}

}  // namespace tessomar::platform
