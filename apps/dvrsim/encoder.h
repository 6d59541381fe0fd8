// The simulated DVR's H.264 encoder: x264 configured so that its slices can be re-headed for
// the client's fixed parameter sets (see h264_rewrite.h), one slice per picture, no frame of
// delay. Each call turns one I420 picture into the DVR's payload: the rewritten slice behind
// a four-byte big-endian length, without parameter sets (the client synthesizes them).
//
// x264 settings and why:
//   preset veryfast + tune zerolatency     no lookahead, no B frames, output per input
//   1 thread, sliced threads off           one slice per picture, no frame delay
//   4 reference frames                     the client's SPS says 4; the DPBs must agree
//   keyint fixed, scenecut off, closed GOP predictable IDR spacing
//   deblocking on, offsets 0/0             the client's PPS cannot switch it or offset it
//   psy off, chroma QP offset 0            psy would move the chroma QP offset
//   ABR with VBV                           pic_init_qp 26 like the client; VBV bounds the
//                                          largest picture (records must stay < 256 KiB)
//   profile baseline (applied last)        CAVLC, no 8x8 transform, no weighted prediction
#pragma once

#include <cstdint>
#include <vector>

#include "dvrsim/h264_rewrite.h"

typedef struct x264_t x264_t;

namespace tessomar::dvrsim {

struct EncoderSettings {
  int keyint = 0;        // frames between IDR pictures; 0: one second
  int bitrate_kbps = 0;  // 0: 1500 at 704x576, scaled by picture area, at least 200
};

struct EncodedPicture {
  bool ok = false;               // false: x264 failed or its output could not be rewritten
  bool key_frame = false;        // an IDR picture
  uint32_t frame_number = 0;     // pictures since the last IDR picture (0 for the IDR)
  std::vector<uint8_t> payload;  // length-prefixed rewritten slice, not yet padded
};

class VideoEncoder {
 public:
  // width and height must be positive multiples of 16 (the client's SPS has no cropping).
  VideoEncoder(int width, int height, int fps, const EncoderSettings& settings = {});
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Whether x264 opened with these settings.
  bool ok() const { return encoder_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }
  int fps() const { return fps_; }

  // Encodes one picture: luma rows of `width` bytes, chroma rows of width / 2 bytes. The
  // result stays valid until the next call.
  const EncodedPicture& encode(const uint8_t* y, const uint8_t* u, const uint8_t* v);
  // Makes the next picture an IDR picture (a new viewer needs one to start decoding).
  void force_key_frame() { force_key_ = true; }

  // x264's own output for the last picture (Annex B, with its SPS and PPS before every IDR
  // picture): the reference that the rewritten payload must decode identically to.
  const std::vector<uint8_t>& encoder_output() const { return encoder_output_; }

  // Damages the rewrite on purpose (tests of the damaged-picture paths).
  void set_fault(RewriteFault fault) { rewriter_.set_fault(fault); }

 private:
  x264_t* encoder_ = nullptr;
  int width_;
  int height_;
  int fps_;
  int64_t pts_ = 0;
  bool force_key_ = false;
  SliceRewriter rewriter_;
  EncodedPicture result_;
  std::vector<uint8_t> encoder_output_;
};

}  // namespace tessomar::dvrsim
