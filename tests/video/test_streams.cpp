#include "video/test_streams.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <x264.h>
}

#include "video/parameter_sets.h"

namespace tessomar::video::testing {
namespace {

class Bits {
 public:
  void bit(int b) {
    if ((n_ & 7) == 0) bytes_.push_back(0);
    if (b) bytes_.back() = uint8_t(bytes_.back() | (0x80 >> (n_ & 7)));
    ++n_;
  }
  void bits(uint32_t v, int count) {
    for (int i = count - 1; i >= 0; --i) bit(int((v >> i) & 1));
  }
  void ue(uint32_t v) {
    const uint32_t code = v + 1;
    int m = 0;
    while ((code >> (m + 1)) != 0) ++m;
    bits(0, m);
    bits(code, m + 1);
  }
  void align_zero() {
    while (n_ & 7) bit(0);
  }
  void byte(uint8_t b) { bits(b, 8); }
  void trailing() {
    bit(1);
    align_zero();
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  size_t n_ = 0;
};

}  // namespace

void append_nal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> nal{header};
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  const uint32_t n = uint32_t(nal.size());
  out.push_back(uint8_t(n >> 24));
  out.push_back(uint8_t(n >> 16));
  out.push_back(uint8_t(n >> 8));
  out.push_back(uint8_t(n));
  out.insert(out.end(), nal.begin(), nal.end());
}

std::vector<uint8_t> pcm_key_frame(const Planes& p, bool with_parameter_sets) {
  const int wm = p.width / 16;
  const int hm = p.height / 16;
  std::vector<uint8_t> out;
  if (with_parameter_sets) {
    uint8_t sets[kMaxParameterSetBytes];
    const int n = buildParameterSets(wm, hm, kDecoderForm, sets);
    out.assign(sets, sets + n);
  }
  Bits b;
  b.ue(0);       // first_mb_in_slice
  b.ue(7);       // slice_type: I, all slices
  b.ue(0);       // pic_parameter_set_id
  b.bits(0, 4);  // frame_num
  b.ue(0);       // idr_pic_id
  b.bits(0, 4);  // pic_order_cnt_lsb
  b.bit(0);      // no_output_of_prior_pics_flag
  b.bit(0);      // long_term_reference_flag
  b.ue(0);       // slice_qp_delta = se(0)
  const int cw = p.width / 2;
  for (int my = 0; my < hm; ++my) {
    for (int mx = 0; mx < wm; ++mx) {
      b.ue(25);  // I_PCM
      b.align_zero();
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) b.byte(p.y[size_t(my * 16 + y) * p.width + mx * 16 + x]);
      for (const auto* plane : {&p.cb, &p.cr})
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) b.byte((*plane)[size_t(my * 8 + y) * cw + mx * 8 + x]);
    }
  }
  b.trailing();
  append_nal(out, 0x65, b.take());
  return out;
}

std::vector<uint8_t> skipped_frame(int width, int height, int frame_num) {
  Bits b;
  b.ue(0);  // first_mb_in_slice
  b.ue(5);  // slice_type: P, all slices
  b.ue(0);
  b.bits(uint32_t(frame_num & 15), 4);
  b.bits(uint32_t((2 * frame_num) & 15), 4);
  b.bit(1);  // num_ref_idx_active_override_flag: one reference
  b.ue(0);
  b.bit(0);                                      // ref_pic_list_modification_flag_l0
  b.bit(0);                                      // adaptive_ref_pic_marking_mode_flag
  b.ue(0);                                       // slice_qp_delta
  b.ue(uint32_t((width / 16) * (height / 16)));  // mb_skip_run: the whole picture
  b.trailing();
  std::vector<uint8_t> out;
  append_nal(out, 0x41, b.take());
  return out;
}

struct X264Stream::Impl {
  x264_t* encoder = nullptr;
  x264_param_t param{};
  int64_t pts = 0;
};

X264Stream::X264Stream(int width, int height, int keyint) : impl_(new Impl) {
  x264_param_t& p = impl_->param;
  if (x264_param_default_preset(&p, "ultrafast", "zerolatency") < 0)
    throw std::runtime_error("x264 preset");
  p.i_width = width;
  p.i_height = height;
  p.i_csp = X264_CSP_I420;
  p.i_threads = 1;
  p.i_keyint_max = keyint;
  p.i_keyint_min = keyint;
  p.b_annexb = 0;  // four-byte big-endian lengths, as the DVR sends
  p.b_repeat_headers = 1;
  p.i_log_level = X264_LOG_NONE;
  if (x264_param_apply_profile(&p, "baseline") < 0) throw std::runtime_error("x264 profile");
  impl_->encoder = x264_encoder_open(&p);
  if (impl_->encoder == nullptr) throw std::runtime_error("x264 open");
}

X264Stream::~X264Stream() {
  if (impl_->encoder) x264_encoder_close(impl_->encoder);
}

std::vector<uint8_t> X264Stream::encode(const Planes& picture, bool* key_frame) {
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = const_cast<uint8_t*>(picture.y.data());
  in.img.plane[1] = const_cast<uint8_t*>(picture.cb.data());
  in.img.plane[2] = const_cast<uint8_t*>(picture.cr.data());
  in.img.i_stride[0] = picture.width;
  in.img.i_stride[1] = picture.width / 2;
  in.img.i_stride[2] = picture.width / 2;
  in.i_pts = impl_->pts++;
  x264_picture_t out;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int size = x264_encoder_encode(impl_->encoder, &nals, &count, &in, &out);
  if (size < 0) throw std::runtime_error("x264 encode");
  std::vector<uint8_t> au;
  for (int i = 0; i < count; ++i)
    au.insert(au.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
  if (key_frame) *key_frame = out.b_keyframe != 0;
  return au;
}

Planes moving_scene(int width, int height, int t) {
  Planes p(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) p.Y(x, y) = uint8_t(40 + (x + 2 * y) % 150);
  const int sx = (t * 8) % std::max(1, width - 16);
  const int sy = (t * 4) % std::max(1, height - 16);
  for (int y = sy; y < sy + 16 && y < height; ++y)
    for (int x = sx; x < sx + 16 && x < width; ++x) p.Y(x, y) = 235;
  for (int y = 0; y < height / 2; ++y)
    for (int x = 0; x < width / 2; ++x) {
      p.Cb(x, y) = uint8_t(64 + x % 128);
      p.Cr(x, y) = uint8_t(192 - y % 128);
    }
  return p;
}

}  // namespace tessomar::video::testing
