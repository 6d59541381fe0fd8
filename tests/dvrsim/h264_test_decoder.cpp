#include "dvrsim/h264_test_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace tessomar::dvrsim::testing {

TestDecoder::TestDecoder(std::span<const uint8_t> avcc) {
  // Negative controls feed broken slices on purpose; keep the decoder's complaints quiet.
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  if (ctx == nullptr) return;
  ctx->thread_count = 1;
  if (!avcc.empty()) {
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    for (size_t i = 0; i < avcc.size(); ++i) ctx->extradata[i] = avcc[i];
    ctx->extradata_size = int(avcc.size());
  }
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return;
  }
  ctx_ = ctx;
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
}

TestDecoder::~TestDecoder() {
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&ctx_);
}

int TestDecoder::decode(std::span<const uint8_t> access_unit) {
  if (ctx_ == nullptr || access_unit.empty()) return 0;
  if (av_new_packet(packet_, int(access_unit.size())) < 0) return 0;
  for (size_t i = 0; i < access_unit.size(); ++i) packet_->data[i] = access_unit[i];
  int rc = avcodec_send_packet(ctx_, packet_);
  av_packet_unref(packet_);
  if (rc < 0) {
    ++errors_;
    return 0;
  }
  return drain();
}

int TestDecoder::flush() {
  if (ctx_ == nullptr) return 0;
  avcodec_send_packet(ctx_, nullptr);
  return drain();
}

int TestDecoder::drain() {
  int n = 0;
  while (avcodec_receive_frame(ctx_, frame_) == 0) {
    DecodedPicture p;
    p.width = frame_->width;
    p.height = frame_->height;
    p.damaged = frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
    auto copy_plane = [this](int plane, int w, int h, std::vector<uint8_t>& out) {
      out.resize(size_t(w) * size_t(h));
      for (int row = 0; row < h; ++row) {
        const uint8_t* src = frame_->data[plane] + ptrdiff_t(row) * frame_->linesize[plane];
        for (int col = 0; col < w; ++col) out[size_t(row) * size_t(w) + size_t(col)] = src[col];
      }
    };
    copy_plane(0, p.width, p.height, p.y);
    copy_plane(1, (p.width + 1) / 2, (p.height + 1) / 2, p.u);
    copy_plane(2, (p.width + 1) / 2, (p.height + 1) / 2, p.v);
    pictures_.push_back(std::move(p));
    av_frame_unref(frame_);
    ++n;
  }
  return n;
}

std::vector<uint8_t> make_avcc(std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
  std::vector<uint8_t> out = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
  out.push_back(uint8_t(sps.size() >> 8));
  out.push_back(uint8_t(sps.size()));
  out.insert(out.end(), sps.begin(), sps.end());
  out.push_back(1);
  out.push_back(uint8_t(pps.size() >> 8));
  out.push_back(uint8_t(pps.size()));
  out.insert(out.end(), pps.begin(), pps.end());
  return out;
}

std::vector<std::span<const uint8_t>> split_annex_b(std::span<const uint8_t> s) {
  std::vector<std::span<const uint8_t>> units;
  size_t start = SIZE_MAX;
  size_t i = 0;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;
        units.push_back(s.subspan(start, end - start));
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX && start < s.size()) units.push_back(s.subspan(start));
  return units;
}

}  // namespace tessomar::dvrsim::testing
