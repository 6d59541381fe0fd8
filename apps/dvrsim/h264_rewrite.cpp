#include "dvrsim/h264_rewrite.h"

#include <array>

#include "dvrsim/bitstream.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

constexpr uint8_t kNalSlice = 1;
constexpr uint8_t kNalIdrSlice = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

constexpr uint32_t kSliceP = 0;
constexpr uint32_t kSliceI = 2;

// Bit index of the rbsp stop bit (the last 1 bit), or -1 when there is none.
int64_t stop_bit_position(std::span<const uint8_t> rbsp) {
  for (size_t i = rbsp.size(); i-- > 0;) {
    if (rbsp[i] == 0) continue;
    int low = 0;
    while (((rbsp[i] >> low) & 1) == 0) ++low;
    return int64_t(i) * 8 + (7 - low);
  }
  return -1;
}

// Header byte checks shared by the parameter set parsers; fills `rbsp` with the payload.
bool unit_payload(std::span<const uint8_t> nal, uint8_t type, std::vector<uint8_t>& rbsp) {
  if (nal.size() < 2 || (nal[0] & 0x80) != 0 || (nal[0] & 0x1F) != type) return false;
  rbsp.clear();
  unescape_rbsp(nal.subspan(1), rbsp);
  return true;
}

bool is_high_profile(uint32_t profile_idc) {
  // Profiles whose SPS carries chroma format, bit depth and scaling lists.
  constexpr uint32_t kHigh[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  for (uint32_t p : kHigh) {
    if (p == profile_idc) return true;
  }
  return false;
}

}  // namespace

std::vector<uint8_t> client_sps(uint32_t width_mbs, uint32_t height_mbs) {
  std::vector<uint8_t> sps = {0x67, 0x42, 0x00, 0x1E};
  BitWriter w(sps);
  w.ue(0);  // seq_parameter_set_id
  w.ue(kClientLog2MaxFrameNum - 4);
  w.ue(0);  // pic_order_cnt_type
  w.ue(kClientLog2MaxPocLsb - 4);
  w.ue(kClientNumRefFrames);
  w.bit(0);  // gaps_in_frame_num_value_allowed_flag
  w.ue(width_mbs - 1);
  w.ue(height_mbs - 1);
  w.bit(1);  // frame_mbs_only_flag
  w.bit(1);  // direct_8x8_inference_flag
  w.bit(0);  // frame_cropping_flag
  w.bit(0);  // vui_parameters_present_flag
  w.stop_and_align();
  return sps;
}

std::vector<uint8_t> client_pps() { return {0x68, 0xC9, 0x08, 0x38, 0x80}; }

void append_client_parameter_sets(uint32_t width_mbs, uint32_t height_mbs,
                                  std::vector<uint8_t>& out) {
  auto append_unit = [&out](const std::vector<uint8_t>& unit) {
    std::array<uint8_t, 4> length{};
    platform::ByteWriter(length).u32be(uint32_t(unit.size()));
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), unit.begin(), unit.end());
  };
  append_unit(client_sps(width_mbs, height_mbs));
  append_unit(client_pps());
}

bool parse_sps(std::span<const uint8_t> nal, SpsInfo& out) {
  std::vector<uint8_t> rbsp;
  if (!unit_payload(nal, kNalSps, rbsp)) return false;
  BitReader r(rbsp);
  SpsInfo s;
  s.profile_idc = r.bits(8);
  r.bits(8);  // constraint flags
  r.bits(8);  // level_idc
  s.sps_id = r.ue();
  if (r.error() || s.sps_id > 31 || is_high_profile(s.profile_idc)) return false;
  uint32_t log2_frame_num_minus4 = r.ue();
  if (log2_frame_num_minus4 > 12) return false;
  s.log2_max_frame_num = int(log2_frame_num_minus4) + 4;
  s.poc_type = r.ue();
  // The order count is derived from frame_num, which only type 2 allows.
  if (s.poc_type != 2) return false;
  s.num_ref_frames = r.ue();
  bool gaps_allowed = r.bit() != 0;
  s.width_mbs = r.ue() + 1;
  s.height_mbs = r.ue() + 1;
  bool frame_mbs_only = r.bit() != 0;
  r.bit();  // direct_8x8_inference_flag: no B slices here
  bool cropping = r.bit() != 0;
  if (r.error() || gaps_allowed || !frame_mbs_only || cropping) return false;
  if (s.num_ref_frames > kClientNumRefFrames) return false;
  out = s;
  return true;
}

bool parse_pps(std::span<const uint8_t> nal, const SpsInfo& sps, PpsInfo& out) {
  std::vector<uint8_t> rbsp;
  if (!unit_payload(nal, kNalPps, rbsp)) return false;
  BitReader r(rbsp);
  PpsInfo p;
  p.pps_id = r.ue();
  p.sps_id = r.ue();
  bool cabac = r.bit() != 0;
  bool bottom_field_order = r.bit() != 0;
  uint32_t slice_groups_minus1 = r.ue();
  if (r.error() || p.pps_id > 255 || p.sps_id != sps.sps_id || cabac || bottom_field_order ||
      slice_groups_minus1 != 0) {
    return false;
  }
  p.num_ref_idx_l0_default = r.ue() + 1;
  r.ue();  // num_ref_idx_l1_default_active_minus1: no B slices here
  bool weighted_pred = r.bit() != 0;
  r.bits(2);  // weighted_bipred_idc
  p.pic_init_qp = 26 + r.se();
  r.se();  // pic_init_qs_minus26: no SP/SI slices here
  int32_t chroma_qp_offset = r.se();
  p.deblocking_control_present = r.bit() != 0;
  bool constrained_intra = r.bit() != 0;
  bool redundant_pic_cnt = r.bit() != 0;
  if (r.error() || p.num_ref_idx_l0_default > 32 || weighted_pred || p.pic_init_qp < 0 ||
      p.pic_init_qp > 51 || chroma_qp_offset != 0 || constrained_intra || redundant_pic_cnt) {
    return false;
  }
  int64_t stop = stop_bit_position(rbsp);
  if (stop < 0 || int64_t(r.position()) > stop) return false;
  if (int64_t(r.position()) < stop) {
    // The High-profile extension may be present as long as it changes nothing.
    bool transform_8x8 = r.bit() != 0;
    bool scaling = r.bit() != 0;
    int32_t second_chroma_qp_offset = r.se();
    if (r.error() || transform_8x8 || scaling || second_chroma_qp_offset != 0 ||
        int64_t(r.position()) != stop) {
      return false;
    }
  }
  out = p;
  return true;
}

bool SliceRewriter::set_sps(std::span<const uint8_t> nal) {
  have_sps_ = parse_sps(nal, sps_);
  if (!have_sps_) have_pps_ = false;
  return have_sps_;
}

bool SliceRewriter::set_pps(std::span<const uint8_t> nal) {
  have_pps_ = have_sps_ && parse_pps(nal, sps_, pps_);
  return have_pps_;
}

RewriteStatus SliceRewriter::rewrite(std::span<const uint8_t> nal, std::vector<uint8_t>& out) {
  if (nal.size() < 2 || (nal[0] & 0x80) != 0) return RewriteStatus::kMalformed;
  const uint8_t header = nal[0];
  const uint8_t type = header & 0x1F;
  const uint32_t ref_idc = (header >> 5) & 3;
  const bool idr = type == kNalIdrSlice;
  if (type != kNalSlice && !idr) return RewriteStatus::kMalformed;
  if (idr && ref_idc == 0) return RewriteStatus::kMalformed;
  if (!have_sps_ || !have_pps_) return RewriteStatus::kNoParameterSets;

  rbsp_.clear();
  unescape_rbsp(nal.subspan(1), rbsp_);
  const int64_t stop = stop_bit_position(rbsp_);
  if (stop < 0) return RewriteStatus::kMalformed;

  BitReader r(rbsp_);
  const uint32_t first_mb = r.ue();
  const uint32_t slice_type = r.ue();
  const uint32_t pps_id = r.ue();
  if (r.error() || slice_type > 9) return RewriteStatus::kMalformed;
  const uint32_t kind = slice_type % 5;
  if (kind != kSliceP && kind != kSliceI) return RewriteStatus::kUnsupported;
  // One slice per picture: the order count bookkeeping below counts pictures by slices.
  if (first_mb != 0) return RewriteStatus::kUnsupported;
  if (pps_id != pps_.pps_id) return RewriteStatus::kNoParameterSets;
  const uint32_t frame_num = r.bits(sps_.log2_max_frame_num);
  uint32_t idr_pic_id = 0;
  if (idr) idr_pic_id = r.ue();

  // Active references: ref_idx in the slice data is coded differently for 1, 2 and more, so
  // the count the encoder meant must survive the change of default.
  uint32_t active_refs = 0;
  if (kind == kSliceP) {
    active_refs = r.bit() ? r.ue() + 1 : pps_.num_ref_idx_l0_default;
    if (active_refs == 0 || active_refs > 16) return RewriteStatus::kMalformed;
  }

  // ref_pic_list_modification and dec_ref_pic_marking are copied as they stand; they only
  // refer to pictures by differences, which mean the same under the smaller frame_num range.
  const size_t copy_start = r.position();
  if (kind != kSliceI && r.bit()) {
    uint32_t idc = 0;
    int n = 0;
    do {
      idc = r.ue();
      if (idc > 3 || ++n > 33) return RewriteStatus::kMalformed;
      if (idc != 3) r.ue();
    } while (idc != 3 && !r.error());
  }
  if (ref_idc != 0) {
    if (idr) {
      r.bits(2);  // no_output_of_prior_pics_flag, long_term_reference_flag
    } else if (r.bit()) {
      uint32_t op = 0;
      int n = 0;
      do {
        op = r.ue();
        if (op > 6 || ++n > 66) return RewriteStatus::kMalformed;
        // Operation 5 restarts frame_num, which the order count below does not follow.
        if (op == 5) return RewriteStatus::kUnsupported;
        if (op == 1 || op == 3) r.ue();
        if (op == 2) r.ue();
        if (op == 3 || op == 6) r.ue();
        if (op == 4) r.ue();
      } while (op != 0 && !r.error());
    }
  }
  const size_t copy_end = r.position();

  const int32_t qp_delta = r.se();
  const int qp = pps_.pic_init_qp + qp_delta;
  if (r.error() || qp < 0 || qp > 51) return RewriteStatus::kMalformed;
  if (pps_.deblocking_control_present) {
    uint32_t disable_idc = r.ue();
    int32_t alpha = 0, beta = 0;
    if (disable_idc != 1) {
      alpha = r.se();
      beta = r.se();
    }
    if (r.error()) return RewriteStatus::kMalformed;
    // The client always filters with offsets 0. Filtering is a no-op at QP 15 and below, so
    // a slice that switches it off there decodes the same.
    bool same = (disable_idc == 0 && alpha == 0 && beta == 0) || (disable_idc == 1 && qp <= 15);
    if (!same) return RewriteStatus::kUnsupported;
  }
  const size_t data_start = r.position();
  if (r.error() || int64_t(data_start) > stop) return RewriteStatus::kMalformed;

  // Picture order count as the encoder's type 2 defines it, from frame_num.
  uint32_t offset = frame_num_offset_;
  uint32_t since_idr = pictures_since_idr_ + 1;
  if (idr) {
    if (frame_num != 0) return RewriteStatus::kMalformed;
    offset = 0;
    since_idr = 0;
  } else {
    if (!seen_idr_) return RewriteStatus::kUnsupported;
    if (prev_frame_num_ > frame_num) offset += uint32_t(1) << sps_.log2_max_frame_num;
  }
  uint32_t poc = 2 * (offset + frame_num) - (ref_idc == 0 ? 1 : 0);

  int32_t new_qp_delta = qp - kClientPicInitQp;
  if (fault_ == RewriteFault::kQpOffByOne) new_qp_delta += qp < 51 ? 1 : -1;

  out_rbsp_.clear();
  BitWriter w(out_rbsp_);
  w.ue(0);  // first_mb_in_slice
  w.ue(slice_type);
  w.ue(0);  // pic_parameter_set_id
  w.bits(frame_num, kClientLog2MaxFrameNum);
  if (idr) w.ue(idr_pic_id);
  // The DVR's predicted slices carry order count 0 and always name their reference count, so
  // that bytes 5 and 6 of a picture hold only the frame number and fixed bits (a movie
  // writer renumbers pictures there). With one picture per frame and no B slices, decoding
  // order is display order and the count carries nothing.
  w.bits(kind == kSliceP ? 0 : poc, kClientLog2MaxPocLsb);
  if (kind == kSliceP) {
    w.bit(1);
    w.ue((fault_ == RewriteFault::kIgnoreRefCount ? kClientNumRefIdxActive : active_refs) - 1);
  }
  w.copy(rbsp_, copy_start, copy_end - copy_start);
  w.se(new_qp_delta);
  w.copy(rbsp_, data_start, size_t(stop) - data_start);
  w.stop_and_align();

  out.push_back(header);
  escape_rbsp(out_rbsp_, out);

  seen_idr_ = seen_idr_ || idr;
  frame_num_offset_ = offset;
  prev_frame_num_ = frame_num;
  pictures_since_idr_ = since_idr;
  return RewriteStatus::kOk;
}

}  // namespace tessomar::dvrsim
