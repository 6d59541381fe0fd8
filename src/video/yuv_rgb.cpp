#include "video/yuv_rgb.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSOMAR_HAVE_SSE2_KERNEL 1
#endif

namespace tessomar::video {
namespace {

inline uint32_t limit(int v) { return uint32_t(v < 0 ? 0 : v > 255 ? 255 : v); }

inline uint32_t pixel(int y, int r, int g, int b) {
  return limit(y + r) << 16 | limit(y + g) << 8 | limit(y + b);
}

// Columns from x on, in plain code; the SIMD kernel hands its tail here.
void convert_from(const ColourRows& job, int x0) {
  for (int x = x0; x < job.width; x += 2) {
    const int cb = job.cb[x >> 1];
    const int cr = job.cr[x >> 1];
    const int r = ((292 * cr) >> 8) - 146;
    const int g = 125 - ((149 * cr + 101 * cb) >> 8);
    const int b = ((516 * cb) >> 8) - 258;
    const bool pair = x + 1 < job.width;
    for (int t = 0; t < job.rows; ++t) {
      const uint8_t* y = job.y[t];
      uint32_t* out = job.out[t];
      out[x] = pixel(y[x], r, g, b);
      if (pair) out[x + 1] = pixel(y[x + 1], r, g, b);
    }
  }
}

}  // namespace

void convert_rows_scalar(const ColourRows& job) { convert_from(job, 0); }

#ifdef TESSOMAR_HAVE_SSE2_KERNEL

namespace {

__attribute__((always_inline)) inline __m128i load4(const uint8_t* p) {
  const uint32_t v =
      uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  return _mm_cvtsi32_si128(int(v));
}

// Chroma terms of n pairs (n = 4 or 8 from the low bytes of cb and cr), each doubled for
// the two pixels it serves: lo holds pixels 0-7, hi pixels 8-15.
struct ChromaTerms {
  __m128i r_lo, g_lo, b_lo, r_hi, g_hi, b_hi;
};

__attribute__((always_inline)) inline void terms_of_pairs(__m128i crcb, __m128i* r, __m128i* g,
                                                          __m128i* b) {
  const __m128i k_r = _mm_set1_epi32(292);              // (Cr, Cb) pairs times (292, 0)
  const __m128i k_g = _mm_set1_epi32(101 << 16 | 149);  // times (149, 101)
  const __m128i k_b = _mm_set1_epi32(516 << 16);        // times (0, 516)
  *r = _mm_sub_epi32(_mm_srai_epi32(_mm_madd_epi16(crcb, k_r), 8), _mm_set1_epi32(146));
  *g = _mm_sub_epi32(_mm_set1_epi32(125), _mm_srai_epi32(_mm_madd_epi16(crcb, k_g), 8));
  *b = _mm_sub_epi32(_mm_srai_epi32(_mm_madd_epi16(crcb, k_b), 8), _mm_set1_epi32(258));
}

__attribute__((always_inline)) inline ChromaTerms chroma_terms(__m128i cb8, __m128i cr8) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i cb = _mm_unpacklo_epi8(cb8, zero);
  const __m128i cr = _mm_unpacklo_epi8(cr8, zero);
  __m128i r0, g0, b0, r1, g1, b1;
  terms_of_pairs(_mm_unpacklo_epi16(cr, cb), &r0, &g0, &b0);  // pairs 0-3
  terms_of_pairs(_mm_unpackhi_epi16(cr, cb), &r1, &g1, &b1);  // pairs 4-7
  const __m128i r = _mm_packs_epi32(r0, r1);
  const __m128i g = _mm_packs_epi32(g0, g1);
  const __m128i b = _mm_packs_epi32(b0, b1);
  return {_mm_unpacklo_epi16(r, r), _mm_unpacklo_epi16(g, g), _mm_unpacklo_epi16(b, b),
          _mm_unpackhi_epi16(r, r), _mm_unpackhi_epi16(g, g), _mm_unpackhi_epi16(b, b)};
}

__attribute__((always_inline)) inline void store4(uint32_t* out, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

// Sixteen pixels of one row: bytes of R, G and B saturated from 16-bit sums, then
// interleaved to B, G, R, 0.
__attribute__((always_inline)) inline void store16(const uint8_t* y, const ChromaTerms& t,
                                                   uint32_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y));
  const __m128i ylo = _mm_unpacklo_epi8(y8, zero);
  const __m128i yhi = _mm_unpackhi_epi8(y8, zero);
  const __m128i r = _mm_packus_epi16(_mm_add_epi16(ylo, t.r_lo), _mm_add_epi16(yhi, t.r_hi));
  const __m128i g = _mm_packus_epi16(_mm_add_epi16(ylo, t.g_lo), _mm_add_epi16(yhi, t.g_hi));
  const __m128i b = _mm_packus_epi16(_mm_add_epi16(ylo, t.b_lo), _mm_add_epi16(yhi, t.b_hi));
  const __m128i bg_lo = _mm_unpacklo_epi8(b, g);
  const __m128i bg_hi = _mm_unpackhi_epi8(b, g);
  const __m128i r0_lo = _mm_unpacklo_epi8(r, zero);
  const __m128i r0_hi = _mm_unpackhi_epi8(r, zero);
  store4(out, _mm_unpacklo_epi16(bg_lo, r0_lo));
  store4(out + 4, _mm_unpackhi_epi16(bg_lo, r0_lo));
  store4(out + 8, _mm_unpacklo_epi16(bg_hi, r0_hi));
  store4(out + 12, _mm_unpackhi_epi16(bg_hi, r0_hi));
}

// Eight pixels of one row, from the low halves of the terms.
__attribute__((always_inline)) inline void store8(const uint8_t* y, const ChromaTerms& t,
                                                  uint32_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i ylo = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y)), zero);
  const __m128i r = _mm_packus_epi16(_mm_add_epi16(ylo, t.r_lo), zero);
  const __m128i g = _mm_packus_epi16(_mm_add_epi16(ylo, t.g_lo), zero);
  const __m128i b = _mm_packus_epi16(_mm_add_epi16(ylo, t.b_lo), zero);
  const __m128i bg = _mm_unpacklo_epi8(b, g);
  const __m128i r0 = _mm_unpacklo_epi8(r, zero);
  store4(out, _mm_unpacklo_epi16(bg, r0));
  store4(out + 4, _mm_unpackhi_epi16(bg, r0));
}

// Sixteen pixels (eight chroma pairs) per step across all rows from x, then one step of
// eight, then the plain code for what is left.
__attribute__((always_inline)) inline void convert_rows_sse2_from(const ColourRows& job, int x) {
  for (; x + 16 <= job.width; x += 16) {
    const ChromaTerms t =
        chroma_terms(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(job.cb + (x >> 1))),
                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(job.cr + (x >> 1))));
    for (int r = 0; r < job.rows; ++r) store16(job.y[r] + x, t, job.out[r] + x);
  }
  if (x + 8 <= job.width) {
    const ChromaTerms t = chroma_terms(load4(job.cb + (x >> 1)), load4(job.cr + (x >> 1)));
    for (int r = 0; r < job.rows; ++r) store8(job.y[r] + x, t, job.out[r] + x);
    x += 8;
  }
  convert_from(job, x);
}

#define TESSOMAR_AVX2 __attribute__((target("avx2")))

// Thirty-two pixels of one row; the 128-bit lanes hold pixels 0-7 and 16-23 (lo) and 8-15
// and 24-31 (hi) of the terms, as the unpacking leaves them.
struct ChromaTerms32 {
  __m256i r_lo, g_lo, b_lo, r_hi, g_hi, b_hi;
};

TESSOMAR_AVX2 inline void terms_of_pairs32(__m256i crcb, __m256i* r, __m256i* g, __m256i* b) {
  const __m256i k_r = _mm256_set1_epi32(292);
  const __m256i k_g = _mm256_set1_epi32(101 << 16 | 149);
  const __m256i k_b = _mm256_set1_epi32(516 << 16);
  *r = _mm256_sub_epi32(_mm256_srai_epi32(_mm256_madd_epi16(crcb, k_r), 8), _mm256_set1_epi32(146));
  *g = _mm256_sub_epi32(_mm256_set1_epi32(125), _mm256_srai_epi32(_mm256_madd_epi16(crcb, k_g), 8));
  *b = _mm256_sub_epi32(_mm256_srai_epi32(_mm256_madd_epi16(crcb, k_b), 8), _mm256_set1_epi32(258));
}

TESSOMAR_AVX2 inline ChromaTerms32 chroma_terms32(const uint8_t* cb8, const uint8_t* cr8) {
  const __m256i cb = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cb8)));
  const __m256i cr = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cr8)));
  __m256i r0, g0, b0, r1, g1, b1;
  terms_of_pairs32(_mm256_unpacklo_epi16(cr, cb), &r0, &g0, &b0);  // pairs 0-3 | 8-11
  terms_of_pairs32(_mm256_unpackhi_epi16(cr, cb), &r1, &g1, &b1);  // pairs 4-7 | 12-15
  const __m256i r = _mm256_packs_epi32(r0, r1);                    // pairs 0-7 | 8-15
  const __m256i g = _mm256_packs_epi32(g0, g1);
  const __m256i b = _mm256_packs_epi32(b0, b1);
  return {_mm256_unpacklo_epi16(r, r), _mm256_unpacklo_epi16(g, g), _mm256_unpacklo_epi16(b, b),
          _mm256_unpackhi_epi16(r, r), _mm256_unpackhi_epi16(g, g), _mm256_unpackhi_epi16(b, b)};
}

// Around the cache (aligned only) or through it.
template <bool kStream>
TESSOMAR_AVX2 inline void put32(__m256i* o, __m256i v) {
  if constexpr (kStream) {
    _mm256_stream_si256(o, v);
  } else {
    _mm256_storeu_si256(o, v);
  }
}

template <bool kStream>
TESSOMAR_AVX2 inline void store32(const uint8_t* y, const ChromaTerms32& t, uint32_t* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i y8 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
  const __m256i ylo = _mm256_unpacklo_epi8(y8, zero);  // pixels 0-7 | 16-23
  const __m256i yhi = _mm256_unpackhi_epi8(y8, zero);  // pixels 8-15 | 24-31
  const __m256i r =
      _mm256_packus_epi16(_mm256_add_epi16(ylo, t.r_lo), _mm256_add_epi16(yhi, t.r_hi));
  const __m256i g =
      _mm256_packus_epi16(_mm256_add_epi16(ylo, t.g_lo), _mm256_add_epi16(yhi, t.g_hi));
  const __m256i b =
      _mm256_packus_epi16(_mm256_add_epi16(ylo, t.b_lo), _mm256_add_epi16(yhi, t.b_hi));
  const __m256i bg_lo = _mm256_unpacklo_epi8(b, g);
  const __m256i bg_hi = _mm256_unpackhi_epi8(b, g);
  const __m256i r0_lo = _mm256_unpacklo_epi8(r, zero);
  const __m256i r0_hi = _mm256_unpackhi_epi8(r, zero);
  const __m256i p0 = _mm256_unpacklo_epi16(bg_lo, r0_lo);  // pixels 0-3 | 16-19
  const __m256i p1 = _mm256_unpackhi_epi16(bg_lo, r0_lo);  // 4-7 | 20-23
  const __m256i p2 = _mm256_unpacklo_epi16(bg_hi, r0_hi);  // 8-11 | 24-27
  const __m256i p3 = _mm256_unpackhi_epi16(bg_hi, r0_hi);  // 12-15 | 28-31
  __m256i* o = reinterpret_cast<__m256i*>(out);
  put32<kStream>(o, _mm256_permute2x128_si256(p0, p1, 0x20));
  put32<kStream>(o + 1, _mm256_permute2x128_si256(p2, p3, 0x20));
  put32<kStream>(o + 2, _mm256_permute2x128_si256(p0, p1, 0x31));
  put32<kStream>(o + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
}

// Thirty-two pixels per step across all rows; returns where the steps ended.
template <bool kStream>
TESSOMAR_AVX2 inline int convert_rows32(const ColourRows& job) {
  int x = 0;
  for (; x + 32 <= job.width; x += 32) {
    const ChromaTerms32 t = chroma_terms32(job.cb + (x >> 1), job.cr + (x >> 1));
    for (int r = 0; r < job.rows; ++r) store32<kStream>(job.y[r] + x, t, job.out[r] + x);
  }
  if constexpr (kStream) _mm_sfence();
  return x;
}

}  // namespace

void convert_rows_sse2(const ColourRows& job) { convert_rows_sse2_from(job, 0); }

// Thirty-two pixels per step, then the SSE2 steps (built here with the AVX encoding).
TESSOMAR_AVX2 void convert_rows_avx2(const ColourRows& job) {
  // Written around the cache, the view does not push the decoder's reference pictures out;
  // only whole aligned vectors can go that way.
  bool stream = job.write_around_cache;
  for (int r = 0; r < job.rows; ++r) stream &= (reinterpret_cast<uintptr_t>(job.out[r]) & 31) == 0;
  convert_rows_sse2_from(job, stream ? convert_rows32<true>(job) : convert_rows32<false>(job));
}

bool sse2_available() { return __builtin_cpu_supports("sse2"); }

#else

void convert_rows_sse2(const ColourRows& job) { convert_from(job, 0); }
void convert_rows_avx2(const ColourRows& job) { convert_from(job, 0); }
bool sse2_available() { return false; }

#endif

ColourRowsFn colour_rows_for(SimdLevel level) {
  switch (supported_simd_level(level)) {
    case SimdLevel::kAvx2:
      return convert_rows_avx2;
    case SimdLevel::kSse2:
      return convert_rows_sse2;
    case SimdLevel::kScalar:
      break;
  }
  return convert_rows_scalar;
}

ColourRowsFn select_colour_rows(bool allow_simd) {
  if (allow_simd && sse2_available()) return convert_rows_sse2;
  return convert_rows_scalar;
}

}  // namespace tessomar::video
