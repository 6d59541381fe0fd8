#include "dvrsim/bitstream.h"

namespace tessomar::dvrsim {

void unescape_rbsp(std::span<const uint8_t> nal, std::vector<uint8_t>& out) {
  int zeros = 0;
  for (uint8_t b : nal) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
}

void escape_rbsp(std::span<const uint8_t> rbsp, std::vector<uint8_t>& out) {
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
}

uint32_t BitReader::bit() {
  if (error_ || pos_ >= size_bits()) {
    error_ = true;
    return 0;
  }
  uint32_t b = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
  ++pos_;
  return b;
}

uint32_t BitReader::bits(int n) {
  if (n < 0 || n > 32 || error_ || size_t(n) > size_bits() - pos_) {
    error_ = true;
    return 0;
  }
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 1) | bit();
  return uint32_t(v);
}

uint32_t BitReader::ue() {
  int zeros = 0;
  while (!error_ && bit() == 0) {
    if (++zeros > 31) {
      error_ = true;
      return 0;
    }
  }
  if (error_) return 0;
  uint64_t v = (uint64_t(1) << zeros) - 1 + bits(zeros);
  if (error_ || v > 0xFFFFFFFEu) {
    error_ = true;
    return 0;
  }
  return uint32_t(v);
}

int32_t BitReader::se() {
  uint32_t k = ue();
  // k = 2|v| - (v > 0): odd codes are positive.
  int64_t mag = (int64_t(k) + 1) / 2;
  return int32_t((k & 1) ? mag : -mag);
}

void BitReader::skip(size_t n) {
  if (error_ || n > size_bits() - pos_) {
    error_ = true;
    return;
  }
  pos_ += n;
}

void BitWriter::bit(uint32_t b) {
  if ((bits_ & 7) == 0) out_.push_back(0);
  if (b & 1) out_.back() |= uint8_t(0x80 >> (bits_ & 7));
  ++bits_;
}

void BitWriter::bits(uint32_t v, int n) {
  for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
}

void BitWriter::ue(uint32_t v) {
  uint64_t code = uint64_t(v) + 1;
  int len = 0;
  while ((code >> len) > 1) ++len;
  for (int i = 0; i < len; ++i) bit(0);
  for (int i = len; i >= 0; --i) bit(uint32_t(code >> i) & 1);
}

void BitWriter::se(int32_t v) {
  uint32_t k = v > 0 ? uint32_t(2 * int64_t(v) - 1) : uint32_t(-2 * int64_t(v));
  ue(k);
}

void BitWriter::copy(std::span<const uint8_t> from, size_t first, size_t count) {
  if (first > from.size() * 8 || count > from.size() * 8 - first) return;
  size_t pos = first;
  // Whole bytes of the source, extracted across its byte boundary, then the remainder.
  const int shift = int(pos & 7);
  while (count >= 8) {
    size_t i = pos >> 3;
    uint32_t v = shift == 0 ? from[i] : uint32_t((from[i] << shift) | (from[i + 1] >> (8 - shift)));
    bits(v & 0xFF, 8);
    pos += 8;
    count -= 8;
  }
  while (count > 0) {
    bit((from[pos >> 3] >> (7 - (pos & 7))) & 1);
    ++pos;
    --count;
  }
}

void BitWriter::stop_and_align() {
  bit(1);
  while (bits_ & 7) bit(0);
}

}  // namespace tessomar::dvrsim
