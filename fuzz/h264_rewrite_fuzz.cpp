// Feeds H.264 units to the simulated DVR's slice rewriter: its parameter set readers and the
// slice rewrite. The first input byte is a mode: bit 0 gives the rewriter the encoder's own
// parameter sets of a CIF stream first, bit 1 also that stream's first pictures (so that
// later slices are rewritten against real reference state). The rest is units behind
// four-byte big-endian lengths, as a picture's payload carries them; a length past the end
// takes what is left.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dvrsim/encoder.h"
#include "dvrsim/h264_rewrite.h"
#include "platform/bytes.h"

using namespace tessomar;

namespace {

constexpr int kMaxUnits = 64;
constexpr int kWidth = 352;
constexpr int kHeight = 288;

// The units of x264's own output (Annex B) for a few CIF pictures: SPS, PPS and slices.
struct Reference {
  std::vector<std::vector<uint8_t>> sets;
  std::vector<std::vector<uint8_t>> units;

  Reference() {
    dvrsim::VideoEncoder enc(kWidth, kHeight, 25);
    if (!enc.ok()) __builtin_trap();
    std::vector<uint8_t> y(size_t(kWidth) * kHeight), u(y.size() / 4, 128), v(u);
    for (size_t picture = 0; picture < 3; ++picture) {
      for (size_t i = 0; i < y.size(); ++i)
        y[i] = uint8_t((i % kWidth + i / kWidth) * 2 + picture * 8);
      enc.encode(y.data(), u.data(), v.data());
      split(enc.encoder_output());
    }
  }
  void split(const std::vector<uint8_t>& annex_b) {
    const size_t n = annex_b.size();
    size_t at = 0;
    while (at < n) {
      // The next start code (00 00 01) and the unit after it, up to the following one.
      size_t start = at;
      while (start + 3 <= n &&
             !(annex_b[start] == 0 && annex_b[start + 1] == 0 && annex_b[start + 2] == 1)) {
        ++start;
      }
      if (start + 3 > n) break;
      size_t end = start + 3;
      while (end + 3 <= n &&
             !(annex_b[end] == 0 && annex_b[end + 1] == 0 && annex_b[end + 2] == 1)) {
        ++end;
      }
      if (end + 3 > n) end = n;
      at = end;
      while (end > start + 3 && annex_b[end - 1] == 0) --end;  // a four-byte start code's zero
      if (end == start + 3) continue;
      const std::span<const uint8_t> nal(annex_b.data() + start + 3, end - start - 3);
      const int type = nal[0] & 0x1F;
      auto& list = type == 7 || type == 8 ? sets : units;
      list.emplace_back(nal.begin(), nal.end());
    }
  }
};

void feed(dvrsim::SliceRewriter& r, std::span<const uint8_t> nal, std::vector<uint8_t>& out) {
  if (nal.empty()) return;
  switch (nal[0] & 0x1F) {
    case 7: {
      const bool taken = r.set_sps(nal);
      dvrsim::SpsInfo info;
      if (taken != dvrsim::parse_sps(nal, info)) __builtin_trap();
      break;
    }
    case 8:
      r.set_pps(nal);
      break;
    default: {
      const size_t before = out.size();
      const dvrsim::RewriteStatus s = r.rewrite(nal, out);
      // A refused slice leaves the output as it was; a rewritten one adds a unit.
      if ((s == dvrsim::RewriteStatus::kOk) != (out.size() > before)) __builtin_trap();
      break;
    }
  }
}

}  // namespace

// Rewriters in the three starting states, made once and copied for each input.
struct Starts {
  dvrsim::SliceRewriter fresh;
  dvrsim::SliceRewriter with_sets;
  dvrsim::SliceRewriter with_pictures;

  Starts() {
    const Reference reference;
    std::vector<uint8_t> out;
    for (const auto& nal : reference.sets) feed(with_sets, nal, out);
    with_pictures = with_sets;
    for (const auto& nal : reference.units) feed(with_pictures, nal, out);
  }
};
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Starts* starts = new Starts;
  if (size < 1) return 0;
  dvrsim::SliceRewriter r = (data[0] & 2)   ? starts->with_pictures
                            : (data[0] & 1) ? starts->with_sets
                                            : starts->fresh;
  std::vector<uint8_t> out;
  const std::span<const uint8_t> in(data + 1, size - 1);
  size_t at = 0;
  for (int n = 0; n < kMaxUnits && in.size() - at >= 4; ++n) {
    size_t length = platform::load_u32be(in.data() + at);
    at += 4;
    if (length > in.size() - at) length = in.size() - at;
    feed(r, in.subspan(at, length), out);
    at += length;
  }
  return 0;
}
