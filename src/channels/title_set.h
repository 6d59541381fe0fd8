// The channel title set a DVR draws on its video: the 1160-byte title record (texts and font
// settings) and four blocks of one-bit title bitmaps, one block per size class with the
// sixteen channels' bitmaps back to back. The VDTT channel moves it; the title editor of the
// setup pages fills it. Little-endian throughout.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace tessomar::channels {

constexpr int kTitleChannels = 16;
constexpr int kSizeClasses = 4;
constexpr uint32_t kTitleRecordSize = 1160;
constexpr uint32_t kTitleTextSize = 64;  // per channel, NUL-terminated
constexpr uint32_t kTitleTextMax = 60;   // bytes as typed
constexpr uint32_t kTitleSetSize = 115592;
constexpr uint32_t kTitlePieceMax = 1152;

// Title record offsets.
constexpr size_t kRecordTitles = 4;  // 16 x 64 bytes
constexpr size_t kRecordFontName = 1060;
constexpr size_t kRecordFontCharset = 1124;
constexpr size_t kRecordFontStyle = 1128;
constexpr size_t kRecordTextHeight = 1132;  // percent, 10 to 100; other values count as 60
constexpr size_t kRecordLanguage = 1136;
constexpr size_t kRecordSetSum = 1144;

// Font style bits.
constexpr uint8_t kStyleBold = 1;
constexpr uint8_t kStyleItalic = 2;
constexpr uint8_t kStyleUnderline = 4;
constexpr uint8_t kStyleStrikeout = 8;

// Size classes: width x height pixels; a bitmap is height rows of width/32 words, pixel k of a
// group of 32 in bit k (least significant first), a set bit is text.
struct SizeClass {
  int width;
  int height;
  uint32_t bytes_per_channel;
  uint32_t block_size;
};
constexpr std::array<SizeClass, kSizeClasses> kSizeClassTable = {{
    {448, 56, 3136, 50176},
    {352, 44, 1936, 30976},
    {288, 36, 1296, 20736},
    {224, 28, 784, 12544},
}};

// Block ids of the transfer.
constexpr uint32_t kBlockEnd = 0;
constexpr uint32_t kBlockClass0 = 1;  // 1..4: size classes 0..3
constexpr uint32_t kBlockRecord = 16;
constexpr uint32_t kBlockWholeRecord = 17;

struct TitleSet {
  std::array<uint8_t, kTitleRecordSize> record{};
  std::array<std::unique_ptr<uint8_t[]>, kSizeClasses> blocks;  // allocated once, zeroed

  TitleSet() {
    for (int c = 0; c < kSizeClasses; ++c) {
      blocks[size_t(c)] = std::make_unique<uint8_t[]>(kSizeClassTable[size_t(c)].block_size);
    }
  }
  std::span<uint8_t> block(int size_class) {
    return {blocks[size_t(size_class)].get(), kSizeClassTable[size_t(size_class)].block_size};
  }
  std::span<const uint8_t> block(int size_class) const {
    return {blocks[size_t(size_class)].get(), kSizeClassTable[size_t(size_class)].block_size};
  }
  // Channel c's bitmap in a size class.
  std::span<uint8_t> bitmap(int size_class, int channel) {
    const uint32_t n = kSizeClassTable[size_t(size_class)].bytes_per_channel;
    return block(size_class).subspan(size_t(channel) * n, n);
  }
  // The block a transfer names: 1-4 the class blocks, anything else the title record.
  std::span<uint8_t> block_by_id(uint32_t id) {
    if (id >= kBlockClass0 && id < kBlockClass0 + kSizeClasses) return block(int(id - 1));
    return record;
  }
};

inline uint32_t byte_sum(std::span<const uint8_t> bytes) {
  uint32_t s = 0;
  for (uint8_t b : bytes) s += b;
  return s;
}

// The title set sum: the byte sums of the record (its sum field taken as 0) and the four class
// blocks, added.
inline uint32_t title_set_sum(const TitleSet& set) {
  uint32_t s = byte_sum(set.record) - byte_sum(std::span(set.record).subspan(kRecordSetSum, 4));
  for (int c = 0; c < kSizeClasses; ++c) s += byte_sum(set.block(c));
  return s;
}

}  // namespace tessomar::channels
