#include "platform/png.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <span>
#include <string_view>

#include "platform/bytes.h"

namespace tessomar::platform {

namespace {

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// 8-bit RGB, deflate, no filter, no interlace.
constexpr std::array<uint8_t, 5> kRgb8 = {8, 2, 0, 0, 0};

const std::array<uint32_t, 256>& crc_table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = crc_table()[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

constexpr size_t kStoredBlockMax = 65535;

// Writes a chunk whose data the caller then writes with body; the length and CRC around it
// come from what body wrote.
template <typename Body>
void chunk(ByteWriter& w, std::span<uint8_t> out, const char* type, size_t length, Body body) {
  w.u32be(uint32_t(length));
  const size_t start = w.pos();
  w.fourcc(std::string_view(type, 4));
  body();
  if (w.error()) return;
  w.u32be(crc32(out.data() + start, w.pos() - start));
}

}  // namespace

std::vector<uint8_t> encode_png(const Bitmap& bitmap) {
  const int w = bitmap.width(), h = bitmap.height();
  // Raw scan lines: filter byte 0, then R G B per pixel; a zlib stream of stored blocks (at
  // most 65535 bytes each, 5 bytes of header) with its 2-byte header and Adler-32.
  const size_t raw_size = size_t(h) * (1 + size_t(w) * 3);
  const size_t blocks = std::max<size_t>(1, (raw_size + kStoredBlockMax - 1) / kStoredBlockMax);
  const size_t z_size = 2 + 5 * blocks + raw_size + 4;
  std::vector<uint8_t> out(8 + (12 + 13) + (12 + z_size) + 12);
  ByteWriter o(out);

  o.bytes(std::span<const uint8_t>(kSignature));
  chunk(o, out, "IHDR", 13, [&] {
    o.u32be(uint32_t(w));
    o.u32be(uint32_t(h));
    o.bytes(std::span<const uint8_t>(kRgb8));
  });
  chunk(o, out, "IDAT", z_size, [&] {
    o.u8(0x78);
    o.u8(0x01);
    uint32_t a = 1, b = 0;
    size_t left_in_block = 0, raw_left = raw_size;
    auto put = [&](uint8_t c) {
      if (left_in_block == 0) {
        left_in_block = std::min(kStoredBlockMax, raw_left);
        o.u8(left_in_block == raw_left ? 1 : 0);  // the last block
        o.u16le(uint16_t(left_in_block));
        o.u16le(uint16_t(~left_in_block));
      }
      o.u8(c);
      --left_in_block;
      --raw_left;
      a = (a + c) % 65521;
      b = (b + a) % 65521;
    };
    if (raw_size == 0) {
      o.u8(1);  // one empty last block
      o.u16le(0);
      o.u16le(0xFFFF);
    }
    for (int y = 0; y < h; ++y) {
      put(0);
      for (uint32_t px : bitmap.row(y)) {
        put(uint8_t(px >> 16));
        put(uint8_t(px >> 8));
        put(uint8_t(px));
      }
    }
    o.u32be((b << 16) | a);
  });
  chunk(o, out, "IEND", 0, [] {});
  if (o.error() || o.pos() != out.size()) return {};
  return out;
}

bool write_png(const Bitmap& bitmap, const std::string& path, std::string& error) {
  if (bitmap.empty()) {
    error = "the picture is empty";
    return false;
  }
  std::vector<uint8_t> bytes = encode_png(bitmap);
  std::ofstream f(path, std::ios::binary);
  if (!f || !f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()))) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tessomar::platform
