// Bounded little-endian readers and writers over byte spans. A read or write past the end
// sets a sticky error flag and yields zeros instead of touching memory outside the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tessomar::link {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

  uint8_t u8() {
    if (!need(1)) return 0;
    return data_[pos_++];
  }
  uint32_t u32le() {
    if (!need(4)) return 0;
    uint32_t v = uint32_t(data_[pos_]) | uint32_t(data_[pos_ + 1]) << 8 |
                 uint32_t(data_[pos_ + 2]) << 16 | uint32_t(data_[pos_ + 3]) << 24;
    pos_ += 4;
    return v;
  }
  uint16_t u16le() {
    if (!need(2)) return 0;
    uint16_t v = uint16_t(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
  }
  // Copies n bytes out; on overrun copies nothing and sets the error flag.
  bool bytes(uint8_t* out, size_t n) {
    if (!need(n)) return false;
    for (size_t i = 0; i < n; ++i) out[i] = data_[pos_ + i];
    pos_ += n;
    return true;
  }
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

 private:
  bool need(size_t n) {
    if (error_ || n > data_.size() - pos_) {
      error_ = true;
      return false;
    }
    return true;
  }
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool error_ = false;
};

class ByteWriter {
 public:
  explicit ByteWriter(std::span<uint8_t> data) : data_(data) {}

  void u8(uint8_t v) {
    if (need(1)) data_[pos_++] = v;
  }
  void u16le(uint16_t v) {
    if (!need(2)) return;
    data_[pos_++] = uint8_t(v);
    data_[pos_++] = uint8_t(v >> 8);
  }
  void u32le(uint32_t v) {
    if (!need(4)) return;
    for (int i = 0; i < 4; ++i) data_[pos_++] = uint8_t(v >> (8 * i));
  }
  void bytes(const uint8_t* src, size_t n) {
    if (!need(n)) return;
    for (size_t i = 0; i < n; ++i) data_[pos_ + i] = src[i];
    pos_ += n;
  }
  void text(std::string_view s) { bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
  void zeros(size_t n) {
    if (!need(n)) return;
    for (size_t i = 0; i < n; ++i) data_[pos_ + i] = 0;
    pos_ += n;
  }
  void seek(size_t pos) {
    if (pos > data_.size()) {
      error_ = true;
      return;
    }
    pos_ = pos;
  }

  size_t pos() const { return pos_; }
  bool error() const { return error_; }

 private:
  bool need(size_t n) {
    if (error_ || n > data_.size() - pos_) {
      error_ = true;
      return false;
    }
    return true;
  }
  std::span<uint8_t> data_;
  size_t pos_ = 0;
  bool error_ = false;
};

// Little-endian word access for fixed-layout records whose bounds the caller has checked.
inline uint32_t load_u32le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void store_u32le(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace tessomar::link
