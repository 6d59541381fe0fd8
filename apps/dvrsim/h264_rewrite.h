// Slice-header rewriting: makes x264's slices parse under the fixed parameter sets that the
// client synthesizes for every key frame (it never sees the encoder's own sets).
//
// The client's sets are Baseline, CAVLC, log2_max_frame_num 4, picture order type 0 with a
// 4-bit lsb, 4 reference frames, 4 active references by default, pic_init_qp 26, chroma QP
// offset 0 and no deblocking control (so every slice deblocks with offsets 0). A slice coded
// under x264's sets is re-headed to say the same thing under those: the slice data bits are
// copied unchanged, so the decoded pictures are bit-identical. Predicted slices take the
// DVR's form: order count 0 and the active reference count always named.
//
//   SliceRewriter rw;
//   rw.set_sps(sps_nal); rw.set_pps(pps_nal);             // x264's sets, header byte included
//   rw.rewrite(slice_nal, out);                           // appends the rewritten unit
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessomar::dvrsim {

// What the client's parameter sets fix.
inline constexpr int kClientLog2MaxFrameNum = 4;
inline constexpr int kClientLog2MaxPocLsb = 4;
inline constexpr uint32_t kClientNumRefFrames = 4;
inline constexpr uint32_t kClientNumRefIdxActive = 4;
inline constexpr int kClientPicInitQp = 26;

// The client's sequence parameter set NAL unit (header byte included) for a picture of
// width_mbs x height_mbs macroblocks.
std::vector<uint8_t> client_sps(uint32_t width_mbs, uint32_t height_mbs);
// The client's picture parameter set NAL unit: 68 C9 08 38 80.
std::vector<uint8_t> client_pps();
// Appends both sets as the client puts them in front of a key frame: each unit behind a
// four-byte big-endian length.
void append_client_parameter_sets(uint32_t width_mbs, uint32_t height_mbs,
                                  std::vector<uint8_t>& out);

// The fields of an encoder's sequence parameter set that slice parsing depends on.
struct SpsInfo {
  uint32_t profile_idc = 0;
  uint32_t sps_id = 0;
  int log2_max_frame_num = 0;
  uint32_t poc_type = 0;
  int log2_max_poc_lsb = 0;
  uint32_t num_ref_frames = 0;
  uint32_t width_mbs = 0;
  uint32_t height_mbs = 0;
};

struct PpsInfo {
  uint32_t pps_id = 0;
  uint32_t sps_id = 0;
  uint32_t num_ref_idx_l0_default = 0;
  int pic_init_qp = 0;
  bool deblocking_control_present = false;
};

// Parse an encoder's parameter set (header byte included). False when it is malformed or
// uses something the client's sets cannot express (a different entropy coder, interlace,
// cropping, more than 4 reference frames, weighted prediction, chroma QP offset, constrained
// intra prediction, 8x8 transforms, scaling matrices, slice groups, redundant pictures). The
// picture order type must be 2 (x264's choice without B frames): the rewrite derives the
// order count from frame_num.
bool parse_sps(std::span<const uint8_t> nal, SpsInfo& out);
bool parse_pps(std::span<const uint8_t> nal, const SpsInfo& sps, PpsInfo& out);

// Deliberate damage, to prove that checks comparing decoded pictures would notice a wrong
// rewrite, and to feed the client slices that decode to the wrong picture.
enum class RewriteFault {
  kNone,
  kQpOffByOne,      // slice QP one step too high
  kIgnoreRefCount,  // always claims the default of 4 active references
};

enum class RewriteStatus {
  kOk,
  kNoParameterSets,  // no accepted SPS/PPS yet, or the slice names another PPS
  kMalformed,        // the slice does not parse
  kUnsupported,      // valid H.264 that the client's sets cannot express
};

class SliceRewriter {
 public:
  // Accept the encoder's current sets; false (and the previous set is forgotten) when
  // parse_sps / parse_pps refuse it.
  bool set_sps(std::span<const uint8_t> nal);
  bool set_pps(std::span<const uint8_t> nal);
  const SpsInfo& sps() const { return sps_; }
  const PpsInfo& pps() const { return pps_; }

  // Rewrites one coded slice (NAL type 1 or 5, header byte included, emulation prevention
  // in place) and appends the new unit, escaped, to `out`. Pictures must have one slice each
  // and come in decoding order; on failure `out` is left as it was.
  RewriteStatus rewrite(std::span<const uint8_t> nal, std::vector<uint8_t>& out);

  // Pictures since the last IDR picture (0 for the IDR itself) of the last rewritten slice.
  uint32_t pictures_since_idr() const { return pictures_since_idr_; }

  void set_fault(RewriteFault fault) { fault_ = fault; }

 private:
  SpsInfo sps_;
  PpsInfo pps_;
  bool have_sps_ = false;
  bool have_pps_ = false;
  RewriteFault fault_ = RewriteFault::kNone;
  // Picture order type 2 state of the encoder's stream.
  bool seen_idr_ = false;
  uint32_t prev_frame_num_ = 0;
  uint32_t frame_num_offset_ = 0;
  uint32_t pictures_since_idr_ = 0;
  // Scratch, reused from slice to slice.
  std::vector<uint8_t> rbsp_;
  std::vector<uint8_t> out_rbsp_;
};

}  // namespace tessomar::dvrsim
