#include "platform/png.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace tessomar::platform {

namespace {

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

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  put_be32(out, uint32_t(data.size()));
  size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put_be32(out, crc32(out.data() + start, out.size() - start));
}

}  // namespace

std::vector<uint8_t> encode_png(const Bitmap& bitmap) {
  const int w = bitmap.width(), h = bitmap.height();
  // Raw scan lines: filter byte 0, then R G B per pixel.
  std::vector<uint8_t> raw;
  raw.reserve(size_t(h) * (1 + size_t(w) * 3));
  for (int y = 0; y < h; ++y) {
    raw.push_back(0);
    for (uint32_t px : bitmap.row(y)) {
      raw.push_back(uint8_t(px >> 16));
      raw.push_back(uint8_t(px >> 8));
      raw.push_back(uint8_t(px));
    }
  }
  // zlib stream of stored blocks (at most 65535 bytes each) with its Adler-32.
  std::vector<uint8_t> z{0x78, 0x01};
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(65535, raw.size() - pos);
    bool last = pos + n == raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(uint8_t(n));
    z.push_back(uint8_t(n >> 8));
    z.push_back(uint8_t(~n));
    z.push_back(uint8_t(~n >> 8));
    z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
    pos += n;
  } while (pos < raw.size());
  uint32_t a = 1, b = 0;
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put_be32(z, (b << 16) | a);

  std::vector<uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  put_be32(ihdr, uint32_t(w));
  put_be32(ihdr, uint32_t(h));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, no filter, no interlace
  chunk(out, "IHDR", ihdr);
  chunk(out, "IDAT", z);
  chunk(out, "IEND", {});
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
