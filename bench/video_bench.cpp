// The picture path: a decoded 704 x 576 picture drawn into the view by our plain path,
// against libswscale's yuv420p -> BGRA conversion of the same picture (the anchor; its byte
// order is our 0x00RRGGBB). Then the three heavier layouts: line doubling 704 x 288,
// deinterlacing 704 x 576, and bilinear upscaling of 352 x 288, each against the same
// anchor; the upscaling also against libswscale's own bilinear 352 x 288 -> 704 x 576 BGRA
// (scaling and colour in one go, as ours). The plain names use the best vector level of the
// machine (capped by TESSOMAR_SIMD); _Sse2 and _Scalar force a level. bench/main.cpp
// prints the ratios.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/bitmap.h"
#include "video/convert.h"

namespace {

using namespace tessomar::video;

// Something like camera content: smooth shading, a few hard edges at various angles, and
// sensor noise, so that the line interpolation's searches do real work.
struct Picture {
  int width, height;
  std::vector<uint8_t> y, cb, cr;

  Picture(int w, int h, uint32_t seed)
      : width(w), height(h), y(size_t(w) * h), cb(size_t(w / 2) * (h / 2)), cr(cb.size()) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c) {
        int v = 60 + (c * 90) / w + (r * 60) / h;
        if (c + 2 * r > w / 2 && c + 2 * r < w / 2 + 40) v += 100;  // a band at 1:2
        if (3 * c - r > w && 3 * c - r < w + 60) v -= 40;           // a steep band
        if ((c / 24 + r / 24) % 7 == 0) v += 50;                    // blocks
        y[size_t(r) * w + c] = uint8_t(std::clamp(v + noise(rng), 0, 255));
      }
    for (int r = 0; r < h / 2; ++r)
      for (int c = 0; c < w / 2; ++c) {
        cb[size_t(r) * (w / 2) + c] = uint8_t(110 + (c * 40) / w);
        cr[size_t(r) * (w / 2) + c] = uint8_t(140 - (r * 30) / h);
      }
  }
  DecodedPicture decoded() const {
    return {y.data(), cb.data(), cr.data(), width, width / 2, width, height};
  }
};

void run_convert(benchmark::State& state, int w, int h, PictureContext context,
                 SimdLevel level = default_simd_level()) {
  const Picture picture(w, h, 1);
  ViewConverter converter;
  converter.set_simd_level(level);
  state.SetLabel(simd_level_name(supported_simd_level(level)));
  tessomar::platform::Bitmap view(kViewWidth, kViewHeight);
  for (auto _ : state) {
    if (converter.convert(picture.decoded(), context, view) != 0) {
      state.SkipWithError("not drawn");
      break;
    }
    benchmark::DoNotOptimize(view.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_Convert704x576(benchmark::State& state) { run_convert(state, 704, 576, {}); }
BENCHMARK(BM_Convert704x576);

void BM_Convert704x576_Scalar(benchmark::State& state) {
  run_convert(state, 704, 576, {}, SimdLevel::kScalar);
}
BENCHMARK(BM_Convert704x576_Scalar);

// libswscale's yuv420p -> 704 x 576 BGRA of a width x height picture (bilinear when scaling).
void run_swscale(benchmark::State& state, int width, int height) {
  const Picture picture(width, height, 1);
  SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_YUV420P, 704, 576, AV_PIX_FMT_BGRA,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (sws == nullptr) {
    state.SkipWithError("no swscale context");
    return;
  }
  std::vector<uint32_t> out(size_t(704) * 576);
  const uint8_t* src[3] = {picture.y.data(), picture.cb.data(), picture.cr.data()};
  const int src_stride[3] = {width, width / 2, width / 2};
  uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data())};
  const int dst_stride[1] = {704 * 4};
  for (auto _ : state) {
    sws_scale(sws, src, src_stride, 0, height, dst, dst_stride);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  sws_freeContext(sws);
}

// Anchor: libswscale's unscaled yuv420p -> BGRA of the same picture into a same-size buffer.
void BM_Convert704x576Anchor_Swscale(benchmark::State& state) { run_swscale(state, 704, 576); }
BENCHMARK(BM_Convert704x576Anchor_Swscale);

void BM_LineDoubling704x288(benchmark::State& state) { run_convert(state, 704, 288, {}); }
BENCHMARK(BM_LineDoubling704x288);
void BM_LineDoubling704x288_Scalar(benchmark::State& state) {
  run_convert(state, 704, 288, {}, SimdLevel::kScalar);
}
BENCHMARK(BM_LineDoubling704x288_Scalar);

// Playback of an interlaced picture; the same picture each time, so after two pictures the
// motion table calls every block still and the blending runs as well.
void BM_Deinterlace704x576(benchmark::State& state) { run_convert(state, 704, 576, {1, true}); }
BENCHMARK(BM_Deinterlace704x576);
void BM_Deinterlace704x576_Sse2(benchmark::State& state) {
  run_convert(state, 704, 576, {1, true}, SimdLevel::kSse2);
}
BENCHMARK(BM_Deinterlace704x576_Sse2);
void BM_Deinterlace704x576_Scalar(benchmark::State& state) {
  run_convert(state, 704, 576, {1, true}, SimdLevel::kScalar);
}
BENCHMARK(BM_Deinterlace704x576_Scalar);

void BM_Scaling352x288(benchmark::State& state) { run_convert(state, 352, 288, {}); }
BENCHMARK(BM_Scaling352x288);
void BM_Scaling352x288_Sse2(benchmark::State& state) {
  run_convert(state, 352, 288, {}, SimdLevel::kSse2);
}
BENCHMARK(BM_Scaling352x288_Sse2);
void BM_Scaling352x288_Scalar(benchmark::State& state) {
  run_convert(state, 352, 288, {}, SimdLevel::kScalar);
}
BENCHMARK(BM_Scaling352x288_Scalar);

// Second anchor of the upscaling: libswscale's bilinear 352 x 288 yuv420p -> 704 x 576 BGRA.
void BM_Scaling352x288Anchor_SwscaleBilinear(benchmark::State& state) {
  run_swscale(state, 352, 288);
}
BENCHMARK(BM_Scaling352x288Anchor_SwscaleBilinear);

}  // namespace
