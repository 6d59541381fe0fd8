// Bit-level reading and writing of H.264 syntax (MSB first, Exp-Golomb codes) and the
// conversion between NAL unit bytes and their raw payload (emulation prevention).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessomar::dvrsim {

// Appends the raw payload of `nal` to `out`: every 00 00 03 loses its 03.
void unescape_rbsp(std::span<const uint8_t> nal, std::vector<uint8_t>& out);
// Appends `rbsp` to `out` with an 03 inserted wherever two zero bytes would be followed by a
// byte of 00 to 03, so that no start code can appear inside the unit.
void escape_rbsp(std::span<const uint8_t> rbsp, std::vector<uint8_t>& out);

// Reads bits from a span. Reading past the end, or an Exp-Golomb code longer than 32 bits,
// sets a sticky error flag and yields 0.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> data) : data_(data) {}

  uint32_t bit();
  // n in 0..32.
  uint32_t bits(int n);
  uint32_t ue();
  int32_t se();
  void skip(size_t n);

  size_t position() const { return pos_; }
  size_t size_bits() const { return data_.size() * 8; }
  bool error() const { return error_; }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool error_ = false;
};

// Appends bits to a growing byte vector.
class BitWriter {
 public:
  // Starts at the end of `out`, which must hold whole bytes.
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out), bits_(out.size() * 8) {}

  void bit(uint32_t b);
  // The n low bits of v, n in 0..32.
  void bits(uint32_t v, int n);
  void ue(uint32_t v);
  void se(int32_t v);
  // Copies `count` bits of `from` starting at bit `first`; the range must lie inside it.
  void copy(std::span<const uint8_t> from, size_t first, size_t count);
  // rbsp_trailing_bits: a 1 and zeros to the byte boundary.
  void stop_and_align();

  size_t position() const { return bits_; }

 private:
  std::vector<uint8_t>& out_;
  size_t bits_;
};

}  // namespace tessomar::dvrsim
