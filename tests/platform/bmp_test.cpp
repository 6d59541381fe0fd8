#include "platform/bmp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace tessomar::platform {
namespace {

// Writes a BITMAPFILEHEADER + BITMAPINFOHEADER, the palette and the (already padded) rows.
std::vector<uint8_t> make_bmp(int32_t width, int32_t height, uint16_t bits,
                              const std::vector<uint32_t>& palette,
                              const std::vector<uint8_t>& rows) {
  std::vector<uint8_t> f;
  auto u16 = [&f](uint32_t v) {
    f.push_back(uint8_t(v));
    f.push_back(uint8_t(v >> 8));
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const uint32_t offset = 14 + 40 + uint32_t(palette.size()) * 4;
  f.push_back('B');
  f.push_back('M');
  u32(offset + uint32_t(rows.size()));
  u32(0);
  u32(offset);
  u32(40);
  u32(uint32_t(width));
  u32(uint32_t(height));
  u16(1);
  u16(bits);
  u32(0);  // BI_RGB
  u32(uint32_t(rows.size()));
  u32(2835);
  u32(2835);
  u32(uint32_t(palette.size()));
  u32(0);
  for (uint32_t c : palette) u32(c);  // stored B, G, R, 0 = little-endian 0x00RRGGBB
  f.insert(f.end(), rows.begin(), rows.end());
  return f;
}

std::vector<std::vector<uint32_t>> pixels(const Bitmap& b) {
  std::vector<std::vector<uint32_t>> out;
  for (int y = 0; y < b.height(); ++y) {
    auto r = b.row(y);
    out.emplace_back(r.begin(), r.end());
  }
  return out;
}

using Pixels = std::vector<std::vector<uint32_t>>;

TEST(BmpTest, Decodes8BitPaletteBottomUp) {
  // 3 x 2, rows padded to 4 bytes; the file's first row is the picture's bottom row.
  const std::vector<uint8_t> rows = {2, 1, 0, 0xEE,   // bottom
                                     3, 3, 1, 0xEE};  // top
  const auto file = make_bmp(3, 2, 8, {0x000000, 0xFF0000, 0x00FF00, 0x123456}, rows);
  Bitmap b;
  std::string error;
  ASSERT_TRUE(decode_bmp(file, b, error)) << error;
  EXPECT_EQ(pixels(b), (Pixels{{0x123456, 0x123456, 0xFF0000}, {0x00FF00, 0xFF0000, 0x000000}}));
}

TEST(BmpTest, IndexesPastAShortPaletteAreBlack) {
  const std::vector<uint8_t> rows = {0, 1, 200, 0};
  const auto file = make_bmp(3, 1, 8, {0x0A0B0C, 0x102030}, rows);
  Bitmap b;
  std::string error;
  ASSERT_TRUE(decode_bmp(file, b, error)) << error;
  EXPECT_EQ(pixels(b), (Pixels{{0x0A0B0C, 0x102030, 0}}));
}

TEST(BmpTest, Decodes24BitBottomUpFromAFile) {
  // 2 x 2: 6 bytes of B, G, R per row plus 2 bytes of padding.
  const std::vector<uint8_t> rows = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xEE, 0xEE,
                                     0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0xEE, 0xEE};
  const auto file = make_bmp(2, 2, 24, {}, rows);
  const std::string path = ::testing::TempDir() + "tessomar_bmp_test_24.bmp";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  }
  Bitmap b;
  std::string error;
  ASSERT_TRUE(load_bmp(path, b, error)) << error;
  std::remove(path.c_str());
  EXPECT_EQ(pixels(b), (Pixels{{0x302010, 0x605040}, {0x030201, 0x060504}}));
}

TEST(BmpTest, Decodes32BitTopDownIgnoringAlpha) {
  const std::vector<uint8_t> rows = {0x01, 0x02, 0x03, 0xFF, 0x04, 0x05, 0x06, 0x80,
                                     0x10, 0x20, 0x30, 0x00, 0x40, 0x50, 0x60, 0x7F};
  const auto file = make_bmp(2, -2, 32, {}, rows);
  Bitmap b;
  std::string error;
  ASSERT_TRUE(decode_bmp(file, b, error)) << error;
  EXPECT_EQ(pixels(b), (Pixels{{0x030201, 0x060504}, {0x302010, 0x605040}}));
}

struct BadCase {
  const char* label;
  std::vector<uint8_t> file;
  const char* message_part;
};

std::vector<uint8_t> patched(std::vector<uint8_t> f, size_t at, std::vector<uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) f[at + i] = bytes[i];
  return f;
}

TEST(BmpTest, RefusesBadOrTruncatedFilesWithAMessage) {
  const std::vector<uint8_t> rows24(2 * 8, 0x55);
  const auto good = make_bmp(2, 2, 24, {}, rows24);
  const auto good8 = make_bmp(4, 1, 8, {0x111111}, {0, 0, 0, 0});
  const BadCase cases[] = {
      {"empty", {}, "not a bitmap"},
      {"wrong magic", patched(good, 0, {'P', 'K'}), "not a bitmap"},
      {"cut in the info header", std::vector<uint8_t>(good.begin(), good.begin() + 30), "header"},
      {"info header too small", patched(good, 14, {12, 0, 0, 0}), "header"},
      {"two planes", patched(good, 26, {2, 0}), "header"},
      {"16 bits", patched(good, 28, {16, 0}), "bit"},
      {"RLE compressed", patched(good8, 30, {1, 0, 0, 0}), "uncompressed"},
      {"zero width", patched(good, 18, {0, 0, 0, 0}), "size"},
      {"negative width", patched(good, 18, {0xFF, 0xFF, 0xFF, 0xFF}), "size"},
      {"huge height", patched(good, 22, {0, 0, 0, 0x40}), "size"},
      {"most negative height", patched(good, 22, {0, 0, 0, 0x80}), "size"},
      {"last pixel byte missing", std::vector<uint8_t>(good.begin(), good.end() - 1), "truncated"},
      {"data offset past the end", patched(good, 10, {0xF0, 0xFF, 0xFF, 0xFF}), "truncated"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    Bitmap b;
    std::string error;
    EXPECT_FALSE(decode_bmp(k.file, b, error));
    EXPECT_NE(error.find(k.message_part), std::string::npos) << error;
  }
}

TEST(BmpTest, MissingFileIsReported) {
  Bitmap b;
  std::string error;
  EXPECT_FALSE(load_bmp("/nonexistent/dir/none.bmp", b, error));
  EXPECT_NE(error.find("/nonexistent/dir/none.bmp"), std::string::npos) << error;
}

}  // namespace
}  // namespace tessomar::platform
