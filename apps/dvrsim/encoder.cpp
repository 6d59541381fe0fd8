#include "dvrsim/encoder.h"

#include <x264.h>

#include <cstdint>
#include <span>

namespace tessomar::dvrsim {
namespace {

constexpr int kNalTypeSlice = 1;
constexpr int kNalTypeIdr = 5;
constexpr int kNalTypeSps = 7;
constexpr int kNalTypePps = 8;

// The unit behind x264's Annex B start code (00 00 01 or 00 00 00 01).
std::span<const uint8_t> strip_start_code(const x264_nal_t& nal) {
  std::span<const uint8_t> bytes(nal.p_payload, size_t(nal.i_payload));
  size_t i = 0;
  while (i < bytes.size() && bytes[i] == 0) ++i;
  if (i < 2 || i >= bytes.size() || bytes[i] != 1) return {};
  return bytes.subspan(i + 1);
}

int default_bitrate_kbps(int width, int height) {
  const int64_t scaled = int64_t(1500) * width * height / (704 * 576);
  return int(scaled < 200 ? 200 : scaled);
}

}  // namespace

VideoEncoder::VideoEncoder(int width, int height, int fps, const EncoderSettings& settings)
    : width_(width), height_(height), fps_(fps) {
  if (width <= 0 || height <= 0 || width % 16 != 0 || height % 16 != 0 || fps <= 0 ||
      width / 16 > 255 || height / 16 > 255) {
    return;
  }
  x264_param_t p;
  if (x264_param_default_preset(&p, "veryfast", "zerolatency") < 0) return;
  p.i_log_level = X264_LOG_NONE;
  p.i_csp = X264_CSP_I420;
  p.i_width = width;
  p.i_height = height;
  p.i_fps_num = uint32_t(fps);
  p.i_fps_den = 1;
  p.i_threads = 1;
  p.i_lookahead_threads = 1;
  p.b_sliced_threads = 0;
  p.b_deterministic = 1;
  p.i_slice_count = 0;
  p.i_slice_max_size = 0;
  p.i_slice_max_mbs = 0;
  p.i_frame_reference = int(kClientNumRefFrames);
  const int keyint = settings.keyint > 0 ? settings.keyint : fps;
  p.i_keyint_max = keyint;
  p.i_keyint_min = keyint;
  p.i_scenecut_threshold = 0;
  p.b_open_gop = 0;
  p.b_deblocking_filter = 1;
  p.i_deblocking_filter_alphac0 = 0;
  p.i_deblocking_filter_beta = 0;
  p.analyse.b_psy = 0;
  p.analyse.i_chroma_qp_offset = 0;
  const int kbps =
      settings.bitrate_kbps > 0 ? settings.bitrate_kbps : default_bitrate_kbps(width, height);
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = kbps;
  p.rc.i_vbv_max_bitrate = kbps;
  p.rc.i_vbv_buffer_size = kbps;  // one second: no picture is larger than that
  p.b_repeat_headers = 1;
  p.b_annexb = 1;
  p.b_aud = 0;
  if (x264_param_apply_profile(&p, "baseline") < 0) return;
  encoder_ = x264_encoder_open(&p);
}

VideoEncoder::~VideoEncoder() {
  if (encoder_ != nullptr) x264_encoder_close(encoder_);
}

const EncodedPicture& VideoEncoder::encode(const uint8_t* y, const uint8_t* u, const uint8_t* v) {
  result_.ok = false;
  result_.key_frame = false;
  result_.frame_number = 0;
  result_.payload.clear();
  encoder_output_.clear();
  if (encoder_ == nullptr || y == nullptr || u == nullptr || v == nullptr) return result_;

  x264_picture_t in;
  x264_picture_t out;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  // x264 only reads the input planes.
  in.img.plane[0] = const_cast<uint8_t*>(y);
  in.img.plane[1] = const_cast<uint8_t*>(u);
  in.img.plane[2] = const_cast<uint8_t*>(v);
  in.img.i_stride[0] = width_;
  in.img.i_stride[1] = width_ / 2;
  in.img.i_stride[2] = width_ / 2;
  in.i_pts = pts_++;
  in.i_type = force_key_ ? X264_TYPE_IDR : X264_TYPE_AUTO;
  force_key_ = false;

  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_encode(encoder_, &nals, &count, &in, &out) <= 0) return result_;

  int slices = 0;
  for (int i = 0; i < count; ++i) {
    const x264_nal_t& nal = nals[i];
    encoder_output_.insert(encoder_output_.end(), nal.p_payload, nal.p_payload + nal.i_payload);
    std::span<const uint8_t> unit = strip_start_code(nal);
    if (unit.empty()) return result_;
    switch (nal.i_type) {
      case kNalTypeSps:
        if (!rewriter_.set_sps(unit)) return result_;
        break;
      case kNalTypePps:
        if (!rewriter_.set_pps(unit)) return result_;
        break;
      case kNalTypeSlice:
      case kNalTypeIdr: {
        const size_t at = result_.payload.size();
        result_.payload.insert(result_.payload.end(), 4, 0);
        if (rewriter_.rewrite(unit, result_.payload) != RewriteStatus::kOk) return result_;
        const uint32_t n = uint32_t(result_.payload.size() - at - 4);
        for (int b = 0; b < 4; ++b) result_.payload[at + size_t(b)] = uint8_t(n >> (24 - 8 * b));
        result_.key_frame = nal.i_type == kNalTypeIdr;
        ++slices;
        break;
      }
      default:
        break;  // SEI and the like: the client's decoder needs none of them
    }
  }
  if (slices != 1) return result_;
  result_.frame_number = rewriter_.pictures_since_idr();
  result_.ok = true;
  return result_;
}

}  // namespace tessomar::dvrsim
