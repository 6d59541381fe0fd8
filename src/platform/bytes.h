// Bounded little- and big-endian readers and writers over byte spans. A read, peek, skip or
// write past the end sets a sticky error flag and yields zeros instead of touching memory
// outside the span; later calls then do nothing, so a caller may check once at the end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

namespace tessomar::platform {

namespace detail {
template <size_t N>
using Word = std::conditional_t<N == 2, uint16_t, std::conditional_t<N == 4, uint32_t, uint64_t>>;

template <typename T>
T byte_swap(T v) {
  if constexpr (sizeof(T) == 2) return T(__builtin_bswap16(v));
  if constexpr (sizeof(T) == 4) return T(__builtin_bswap32(v));
  if constexpr (sizeof(T) == 8) return T(__builtin_bswap64(v));
}
}  // namespace detail

// Unchecked word access for fixed-layout records whose bounds the caller has checked.
template <size_t N, bool BigEndian>
constexpr uint64_t load_uint(const uint8_t* p) {
  if constexpr (N == 2 || N == 4 || N == 8) {
    // One machine load: the checksum samples and the pixel paths read words in hot loops.
    if (!std::is_constant_evaluated()) {
      detail::Word<N> w;
      std::memcpy(&w, p, N);
      if constexpr (BigEndian == (std::endian::native == std::endian::little)) {
        w = detail::byte_swap(w);
      }
      return w;
    }
  }
  uint64_t v = 0;
  for (size_t i = 0; i < N; ++i) v |= uint64_t(p[i]) << (8 * (BigEndian ? N - 1 - i : i));
  return v;
}
template <size_t N, bool BigEndian>
constexpr void store_uint(uint8_t* p, uint64_t v) {
  for (size_t i = 0; i < N; ++i) p[i] = uint8_t(v >> (8 * (BigEndian ? N - 1 - i : i)));
}

inline uint16_t load_u16le(const uint8_t* p) { return uint16_t(load_uint<2, false>(p)); }
inline uint16_t load_u16be(const uint8_t* p) { return uint16_t(load_uint<2, true>(p)); }
inline uint32_t load_u24le(const uint8_t* p) { return uint32_t(load_uint<3, false>(p)); }
inline uint32_t load_u24be(const uint8_t* p) { return uint32_t(load_uint<3, true>(p)); }
inline uint32_t load_u32le(const uint8_t* p) { return uint32_t(load_uint<4, false>(p)); }
inline uint32_t load_u32be(const uint8_t* p) { return uint32_t(load_uint<4, true>(p)); }
inline uint64_t load_u64le(const uint8_t* p) { return load_uint<8, false>(p); }
inline uint64_t load_u64be(const uint8_t* p) { return load_uint<8, true>(p); }

inline void store_u16le(uint8_t* p, uint16_t v) { store_uint<2, false>(p, v); }
inline void store_u16be(uint8_t* p, uint16_t v) { store_uint<2, true>(p, v); }
inline void store_u24le(uint8_t* p, uint32_t v) { store_uint<3, false>(p, v); }
inline void store_u24be(uint8_t* p, uint32_t v) { store_uint<3, true>(p, v); }
inline void store_u32le(uint8_t* p, uint32_t v) { store_uint<4, false>(p, v); }
inline void store_u32be(uint8_t* p, uint32_t v) { store_uint<4, true>(p, v); }
inline void store_u64le(uint8_t* p, uint64_t v) { store_uint<8, false>(p, v); }
inline void store_u64be(uint8_t* p, uint64_t v) { store_uint<8, true>(p, v); }

// A four-character code as a 32-bit value: the first character in the low byte, so that it
// equals the code's bytes read little-endian.
constexpr uint32_t fourcc_value(std::string_view four) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < four.size(); ++i) v |= uint32_t(uint8_t(four[i])) << (8 * i);
  return v;
}

// Position and sticky error flag of a reader or writer over a span: a move past the end
// sets the flag and leaves the position where it was.
template <typename Byte>
class ByteCursor {
 public:
  void skip(size_t n) {
    if (need(n)) pos_ += n;
  }
  void seek(size_t pos) {
    if (pos > data_.size()) {
      error_ = true;
      return;
    }
    pos_ = pos;
  }

  size_t pos() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool error() const { return error_; }

 protected:
  explicit ByteCursor(std::span<Byte> data) : data_(data) {}
  bool need(size_t n) {
    if (error_ || n > data_.size() - pos_) {
      error_ = true;
      return false;
    }
    return true;
  }
  std::span<Byte> data_;
  size_t pos_ = 0;
  bool error_ = false;
};

class ByteReader : public ByteCursor<const uint8_t> {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : ByteCursor(data) {}

  uint8_t u8() { return uint8_t(get<1, false>()); }
  uint16_t u16le() { return uint16_t(get<2, false>()); }
  uint16_t u16be() { return uint16_t(get<2, true>()); }
  uint32_t u24le() { return uint32_t(get<3, false>()); }
  uint32_t u24be() { return uint32_t(get<3, true>()); }
  uint32_t u32le() { return uint32_t(get<4, false>()); }
  uint32_t u32be() { return uint32_t(get<4, true>()); }
  uint64_t u64le() { return get<8, false>(); }
  uint64_t u64be() { return get<8, true>(); }
  // Four characters as fourcc_value gives them.
  uint32_t fourcc() { return u32le(); }

  // The same values without moving on.
  uint8_t peek_u8() { return uint8_t(peek<1, false>()); }
  uint16_t peek_u16le() { return uint16_t(peek<2, false>()); }
  uint16_t peek_u16be() { return uint16_t(peek<2, true>()); }
  uint32_t peek_u24le() { return uint32_t(peek<3, false>()); }
  uint32_t peek_u24be() { return uint32_t(peek<3, true>()); }
  uint32_t peek_u32le() { return uint32_t(peek<4, false>()); }
  uint32_t peek_u32be() { return uint32_t(peek<4, true>()); }
  uint64_t peek_u64le() { return peek<8, false>(); }
  uint64_t peek_u64be() { return peek<8, true>(); }
  uint32_t peek_fourcc() { return peek_u32le(); }

  // Copies n bytes out; on overrun copies nothing and sets the error flag.
  bool bytes(uint8_t* out, size_t n) {
    if (!need(n)) return false;
    for (size_t i = 0; i < n; ++i) out[i] = data_[pos_ + i];
    pos_ += n;
    return true;
  }

 private:
  template <size_t N, bool BigEndian>
  uint64_t peek() {
    return need(N) ? load_uint<N, BigEndian>(data_.data() + pos_) : 0;
  }
  template <size_t N, bool BigEndian>
  uint64_t get() {
    const uint64_t v = peek<N, BigEndian>();
    if (!error_) pos_ += N;
    return v;
  }
};

class ByteWriter : public ByteCursor<uint8_t> {
 public:
  explicit ByteWriter(std::span<uint8_t> data) : ByteCursor(data) {}

  void u8(uint8_t v) { put<1, false>(v); }
  void u16le(uint16_t v) { put<2, false>(v); }
  void u16be(uint16_t v) { put<2, true>(v); }
  // The low 24 bits of v.
  void u24le(uint32_t v) { put<3, false>(v); }
  void u24be(uint32_t v) { put<3, true>(v); }
  void u32le(uint32_t v) { put<4, false>(v); }
  void u32be(uint32_t v) { put<4, true>(v); }
  void u64le(uint64_t v) { put<8, false>(v); }
  void u64be(uint64_t v) { put<8, true>(v); }
  // Exactly four characters; any other length writes nothing and sets the error flag.
  void fourcc(std::string_view four) {
    if (four.size() != 4) {
      error_ = true;
      return;
    }
    text(four);
  }

  void bytes(const uint8_t* src, size_t n) {
    if (!need(n)) return;
    for (size_t i = 0; i < n; ++i) data_[pos_ + i] = src[i];
    pos_ += n;
  }
  void bytes(std::span<const uint8_t> src) { bytes(src.data(), src.size()); }
  void text(std::string_view s) { bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
  void zeros(size_t n) {
    if (!need(n)) return;
    for (size_t i = 0; i < n; ++i) data_[pos_ + i] = 0;
    pos_ += n;
  }

 private:
  template <size_t N, bool BigEndian>
  void put(uint64_t v) {
    if (!need(N)) return;
    store_uint<N, BigEndian>(data_.data() + pos_, v);
    pos_ += N;
  }
};

}  // namespace tessomar::platform
