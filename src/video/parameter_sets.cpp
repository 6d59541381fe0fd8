#include "video/parameter_sets.h"

#include <array>
#include <cstddef>
#include <span>

#include "platform/bytes.h"

namespace tessomar::video {
namespace {

// MSB-first bit writer over a fixed buffer; the callers' sizes keep it far from the end,
// and a write past it is dropped rather than stored.
class BitWriter {
 public:
  BitWriter(uint8_t* data, int size, int start_bit) : data_(data), size_(size), bit_(start_bit) {}

  void bit(int b) {
    const int byte = bit_ >> 3;
    if (byte >= size_) return;
    const uint8_t mask = uint8_t(0x80 >> (bit_ & 7));
    data_[byte] = b ? uint8_t(data_[byte] | mask) : uint8_t(data_[byte] & ~mask);
    ++bit_;
  }
  void bits(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit(int((v >> i) & 1));
  }
  // Exp-Golomb: M zeros, then the M + 1 bits of v + 1.
  void ue(uint32_t v) {
    const uint32_t code = v + 1;
    int m = 0;
    while ((code >> (m + 1)) != 0) ++m;
    bits(0, m);
    bits(code, m + 1);
  }
  void align_zero() {
    while (bit_ & 7) bit(0);
  }
  int bytes() const { return bit_ >> 3; }

 private:
  uint8_t* data_;
  int size_;
  int bit_;
};

// Length field, then the first bytes of the sequence parameter set; of the last byte only
// its first two bits belong to the template.
constexpr std::array<uint8_t, 10> kSpsPrefix = {0x00, 0x00, 0x00, 0x01, 0x67,
                                                0x42, 0x00, 0x1E, 0xF2, 0x80};
constexpr int kSpsPrefixBits = 74;
constexpr std::array<uint8_t, 9> kPps = {0x00, 0x00, 0x00, 0x05, 0x68, 0xC9, 0x08, 0x38, 0x80};

}  // namespace

int buildParameterSets(int w_mbs, int h_mbs, int form, uint8_t* out) {
  if (out == nullptr || w_mbs < 1 || w_mbs > 255 || h_mbs < 1 || h_mbs > 255) return -1;
  if (form != kDecoderForm && form != kAvcCForm) return -1;

  std::array<uint8_t, kMaxParameterSetBytes> sps{};
  for (std::size_t i = 0; i < kSpsPrefix.size(); ++i) sps[i] = kSpsPrefix[i];
  BitWriter w(sps.data(), int(sps.size()), kSpsPrefixBits);
  w.ue(uint32_t(w_mbs - 1));
  w.ue(uint32_t(h_mbs - 1));
  // frame_mbs_only, direct_8x8_inference, no cropping, no VUI, stop bit.
  w.bits(0b11001, 5);
  w.align_zero();
  // At most 10 bytes for 255 x 255.
  const auto sps_nal = std::span<const uint8_t>(sps).subspan(4, size_t(w.bytes() - 4));
  const auto pps_nal = std::span<const uint8_t>(kPps).subspan(4);

  platform::ByteWriter o(std::span<uint8_t>(out, kMaxParameterSetBytes));
  if (form == kDecoderForm) {
    o.u32be(uint32_t(sps_nal.size()));
    o.bytes(sps_nal);
    o.bytes(kPps);
  } else {
    o.u16be(uint16_t(sps_nal.size()));
    o.bytes(sps_nal);
    o.u8(0x01);  // one picture parameter set
    o.u16be(uint16_t(pps_nal.size()));
    o.bytes(pps_nal);
    o.zeros(4);
  }
  return int(o.pos());
}

}  // namespace tessomar::video
