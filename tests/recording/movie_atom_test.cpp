#include "recording/movie_atom.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <bit>
#include <numeric>
#include <string>
#include <vector>

#include "recording/movie_fixture.h"
#include "video/parameter_sets.h"

namespace tessomar::recording {
namespace {

using testing::Atom;
using testing::audio;
using testing::be16;
using testing::be32;
using testing::find_atom;
using testing::kT0;
using testing::MovieFixture;
using testing::Pic;

// The atoms of a finished file.
struct Movie {
  std::vector<uint8_t> f;
  Atom moov;

  Atom in(const Atom& parent, std::initializer_list<std::string_view> path, int index = 0) const {
    return find_atom(f, parent.at + 8, parent.at + parent.size, path, index);
  }
  Atom trak(int i) const { return in(moov, {"trak"}, i); }
  // Field at byte `at` behind the atom's header.
  uint32_t u32(const Atom& a, size_t at) const { return be32(f, a.at + 8 + at); }
  std::vector<uint32_t> words(const Atom& a, size_t at, size_t n) const {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(u32(a, at + 4 * i));
    return out;
  }
};

class MovieAtomTest : public MovieFixture {
 protected:
  Movie close() {
    Movie m;
    m.f = finish();
    m.moov = find_atom(m.f, 0, m.f.size(), {"moov"});
    return m;
  }
  // Pictures every frame period from (t, 0) to (last, 0), key frames each second.
  void pictures(uint32_t t, uint32_t last, Pic p = {}) {
    const uint32_t fps = p.h_mbs == 36 || p.h_mbs == 18 || p.h_mbs == 32 || p.h_mbs == 16 ? 25 : 30;
    for (uint32_t s = t; s <= last; ++s) {
      for (uint32_t f = 0; f < (s == last ? 1 : fps); ++f) {
        p.t = s;
        p.f = uint8_t(f);
        p.key = f == 0;
        append(p);
      }
    }
  }
};

TEST_F(MovieAtomTest, D1AtTwentyFiveFramesWithSoundAndText) {
  auto wm = writer.watermark();
  platform::store_u32le(wm.data() + kWatermarkSeed, 0x0BADF00D);
  wm[100] = 0x77;  // the DVR's bytes are carried
  begin();
  pictures(kT0, kT0 + 2);
  for (uint32_t b = 0; b < 10; ++b) append(audio(kT0, uint8_t(b * 25 / 10)));
  append(audio(kT0 + 2, 0));  // after a silent second: a fill chunk
  const MovieWriter::State& st = s();
  std::array<uint8_t, channels::kWatermarkVarsSize> expected;
  std::copy(wm.begin(), wm.end(), expected.begin());
  seal_watermark(expected, writer.watermark_parameters());
  const uint32_t moov_at = writer.position() + kTrailerSize;
  const Movie m = close();

  ASSERT_TRUE(m.moov.found);
  EXPECT_EQ(m.moov.at, moov_at);
  EXPECT_EQ(be32(m.f, 40), moov_at - 40);  // mdat: to the trailer's end
  const MovieAtomLengths l = movie_atom_lengths(st);
  EXPECT_EQ(m.moov.size, l.moov);

  const uint32_t T = 500, D = 1000;
  const Atom mvhd = m.in(m.moov, {"mvhd"});
  EXPECT_EQ(mvhd.size, 108u);
  EXPECT_EQ(m.words(mvhd, 4, 4), (std::vector<uint32_t>{kT0, kT0 + 2, T, D}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m.f[mvhd.at + 8 + 26]), 4), "qorn");
  EXPECT_EQ(m.u32(mvhd, 84), D);   // selection time
  EXPECT_EQ(m.u32(mvhd, 96), 3u);  // next track ID

  // Video track.
  const Atom video = m.trak(0);
  uint8_t avc[video::kMaxParameterSetBytes];
  const int l1 = video::buildParameterSets(44, 36, video::kAvcCForm, avc);
  ASSERT_EQ(l1, 23);
  const uint32_t N = st.sampleCount, K = st.keyFrameCount;
  EXPECT_EQ(N, 51u);
  EXPECT_EQ(video.size, 700u + 23 + 4 * K + 8 * N);
  const Atom tkhd = m.in(video, {"tkhd"});
  EXPECT_EQ(m.u32(tkhd, 0), 0x0Fu);
  EXPECT_EQ(m.u32(tkhd, 12), 1u);  // track ID
  EXPECT_EQ(m.u32(tkhd, 20), D);
  EXPECT_EQ(m.words(tkhd, 40, 11), (std::vector<uint32_t>{0x10000, 0, 0, 0, 0x10000, 0, 0, 0,
                                                          0x40000000, 704u << 16, 576u << 16}));
  EXPECT_EQ(m.u32(m.in(video, {"tapt", "clef"}), 4), 704u << 16);
  const Atom stsd = m.in(video, {"mdia", "minf", "stbl", "stsd"});
  EXPECT_EQ(stsd.size, 156u + 23);
  const size_t avcc = stsd.at + 16 + 86 + 40;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m.f[avcc + 4]), 4), "avcC");
  EXPECT_EQ(be32(m.f, avcc), 14u + 23);
  EXPECT_TRUE(std::equal(avc, avc + 23, m.f.begin() + std::ptrdiff_t(avcc + 14)));
  EXPECT_EQ(be16(m.f, stsd.at + 16 + 32), 704);
  EXPECT_EQ(be16(m.f, stsd.at + 16 + 34), 576);
  const Atom mdhd = m.in(video, {"mdia", "mdhd"});
  EXPECT_EQ(m.words(mdhd, 12, 2), (std::vector<uint32_t>{T, D}));
  const Atom stbl = m.in(video, {"mdia", "minf", "stbl"});
  EXPECT_EQ(m.words(m.in(stbl, {"stts"}), 4, 3), (std::vector<uint32_t>{1, N, 20}));
  EXPECT_EQ(m.words(m.in(stbl, {"stss"}), 4, 4), (std::vector<uint32_t>{3, 1, 26, 51}));
  EXPECT_EQ(m.words(m.in(stbl, {"stsz"}), 4, 2 + N)[N + 1], st.sampleSizes[N - 1]);
  EXPECT_EQ(m.words(m.in(stbl, {"stco"}), 8, N),
            std::vector<uint32_t>(st.sampleOffsets.begin(), st.sampleOffsets.begin() + N));

  // Sound track: the runs and chunk offsets of the writer.
  const Atom sound = m.trak(1);
  const uint32_t A = st.audioSamples, C = st.chunkCount, R = st.chunkRunCount;
  EXPECT_EQ(A, 16000u + 800);
  EXPECT_EQ(sound.size, 512u + 12 * R + 4 * C);
  EXPECT_EQ(m.u32(m.in(sound, {"tkhd"}), 12), 3u);
  EXPECT_EQ(m.words(m.in(sound, {"mdia", "mdhd"}), 12, 2), (std::vector<uint32_t>{8000, A}));
  const Atom sstbl = m.in(sound, {"mdia", "minf", "stbl"});
  EXPECT_EQ(m.in(sstbl, {"stsd"}).size, 68u);
  EXPECT_EQ(m.words(m.in(sstbl, {"stsz"}), 4, 2), (std::vector<uint32_t>{1, A}));
  const std::vector<uint32_t> runs = m.words(m.in(sstbl, {"stsc"}), 4, 1 + 3 * R);
  EXPECT_EQ(runs, (std::vector<uint32_t>{R, 1, 800, 1, 11, 8000, 1, 12, 800, 1}));

  // Text track: one sample per second, placed at the picture's lower right.
  const Atom text = m.trak(2);
  const uint32_t X = st.textCount;
  EXPECT_EQ(X, 3u);
  EXPECT_EQ(text.size, 591u + 8 * X);
  const Atom ttkhd = m.in(text, {"tkhd"});
  EXPECT_EQ(m.u32(ttkhd, 12), 2u);
  EXPECT_EQ(m.words(ttkhd, 64, 4),
            (std::vector<uint32_t>{544u << 16, 560u << 16, 0x40000000, 160u << 16}));
  EXPECT_EQ(m.words(m.in(text, {"mdia", "mdhd"}), 12, 2),
            (std::vector<uint32_t>{655 * D + 36 * D / 100, D}));
  const Atom tstbl = m.in(text, {"mdia", "minf", "stbl"});
  EXPECT_EQ(m.words(m.in(tstbl, {"stsz"}), 4, 5), (std::vector<uint32_t>{48, X, 58, 58, 58}));
  EXPECT_EQ(m.words(m.in(text, {"edts", "elst"}), 8, 3), (std::vector<uint32_t>{D, 0, 100}));

  // The sealed record behind the atom, then zeros to the next 512.
  const size_t rec = m.moov.at + m.moov.size;
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), m.f.begin() + std::ptrdiff_t(rec)));
  EXPECT_EQ(m.f.size() % 512, 0u);
  EXPECT_EQ(m.f.size(), rec + 160 + padding_after_record(rec));
  EXPECT_EQ(m.f.size(), writer.position());
}

TEST_F(MovieAtomTest, FixedLayoutVariants) {
  struct Row {
    const char* name;
    Pic pic;
    uint32_t last;  // seconds of pictures after the first
    bool sound;
    uint32_t v;       // video matrix scale, 16.16
    uint32_t text_y;  // text track y, 16.16
    uint32_t T;
  };
  const Row rows[] = {
      {"no audio", {}, 1, false, 0x10000, 560u << 16, 500},
      {"single second", {}, 0, true, 0x10000, 560u << 16, 500},
      {"field factors 2", {.byte14 = 0x08}, 1, false, 0x20000, (1152u - 16) << 16, 500},
      {"field factors 3", {.byte14 = 0x0C}, 1, false, 0x10000, (1152u - 16) << 16, 500},
      {"ntsc 640x480", {.w_mbs = 40, .h_mbs = 30}, 1, false, 0x10000, 464u << 16, 600},
      {"cif 352x288",
       {.w_mbs = 22, .h_mbs = 18, .byte14 = 0x08},
       1,
       false,
       0x20000,
       272u << 16,
       500},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove(path);
    begin();
    pictures(kT0, kT0 + r.last, r.pic);
    if (r.sound) append(audio(kT0, 1));
    const Movie m = close();
    ASSERT_TRUE(m.moov.found);
    EXPECT_EQ(m.moov.size, movie_atom_lengths(s()).moov);
    const uint32_t D = r.T * r.last;
    const Atom mvhd = m.in(m.moov, {"mvhd"});
    EXPECT_EQ(m.words(mvhd, 12, 2), (std::vector<uint32_t>{r.T, D}));
    EXPECT_EQ(m.u32(mvhd, 96), 3u);

    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
      const Atom t = m.trak(i);
      if (t.found) ids.push_back(m.u32(m.in(t, {"tkhd"}), 12));
    }
    const std::vector<uint32_t> want_ids =
        r.sound ? std::vector<uint32_t>{1, 3, 2} : std::vector<uint32_t>{1, 2};
    EXPECT_EQ(ids, want_ids);
    const Atom video = m.trak(0);
    EXPECT_EQ(m.u32(m.in(video, {"tkhd"}), 56), r.v);
    EXPECT_EQ(m.u32(m.in(video, {"edts", "elst"}), 8), D);
    const Atom text = m.trak(r.sound ? 2 : 1);
    const Atom ttkhd = m.in(text, {"tkhd"});
    EXPECT_EQ(m.u32(ttkhd, 64), (s().pictureWidth - 160) << 16);
    EXPECT_EQ(m.u32(ttkhd, 68), r.text_y);
    EXPECT_EQ(m.words(m.in(text, {"mdia", "mdhd"}), 12, 2),
              (std::vector<uint32_t>{655 * D + 36 * D / 100, D}));
    EXPECT_EQ(m.u32(m.in(text, {"mdia", "minf", "stbl", "stts"}), 12), D);
    EXPECT_EQ(m.f.size() % 512, 0u);
  }
}

TEST(MovieAtomPadding, RecordEndingOnABoundaryGetsAWholeBlock) {
  const std::pair<uint64_t, uint32_t> rows[] = {
      {512 - 160, 512}, {511 - 160, 1}, {513 - 160, 511}, {1000, 1536 - 1160}};
  for (const auto& [p, pad] : rows) EXPECT_EQ(padding_after_record(p), pad) << p;
}

uint32_t bn_mod_exp(uint32_t x, uint32_t e, uint32_t n) {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *bx = BN_new(), *be = BN_new(), *bn = BN_new(), *r = BN_new();
  BN_set_word(bx, x);
  BN_set_word(be, e);
  BN_set_word(bn, n);
  BN_mod_exp(r, bx, be, bn, ctx);
  const uint32_t out = uint32_t(BN_get_word(r));
  BN_free(bx), BN_free(be), BN_free(bn), BN_free(r);
  BN_CTX_free(ctx);
  return out;
}

bool prime(uint32_t v) {
  if (v < 2) return false;
  for (uint32_t d = 2; d * d <= v; ++d) {
    if (v % d == 0) return false;
  }
  return true;
}

TEST(Watermark, EncodingMatchesModularExponentiation) {
  const WatermarkParameters rows[] = {{251 * 257, 7}, {101 * 103, 7}, {883 * 907, 5}, {17, 1}};
  for (const WatermarkParameters& p : rows) {
    SCOPED_TRACE(std::to_string(p.modulus) + "^" + std::to_string(p.exponent));
    for (uint32_t x = 0; x < 256; ++x) {
      // Values of a modulus past 2^16 keep their low 16 bits.
      EXPECT_EQ(watermark_encode(uint8_t(x), p), uint16_t(bn_mod_exp(x, p.exponent, p.modulus)))
          << x;
    }
  }
  EXPECT_EQ(watermark_encode(9, {0, 5}), 0);
  EXPECT_EQ(watermark_encode(9, {251 * 257, 0}), 1);
}

TEST_F(MovieFixture, WatermarkParametersAreTwoThreeDigitPrimesAndACoprimeDigit) {
  const WatermarkParameters& p = writer.watermark_parameters();
  uint32_t a = 0;
  for (uint32_t d = 100; d < 1000; ++d) {
    if (p.modulus % d == 0 && prime(d) && prime(p.modulus / d) && p.modulus / d >= 100 &&
        p.modulus / d < 1000) {
      a = d;
    }
  }
  ASSERT_NE(a, 0u) << p.modulus;
  EXPECT_LT(p.modulus, 65536u);  // every sealed value fits its 16 bits
  EXPECT_GE(p.exponent, 2u);
  EXPECT_LE(p.exponent, 9u);
  EXPECT_EQ(std::gcd(p.exponent, (a - 1) * (p.modulus / a - 1)), 1u);
}

TEST(Watermark, SealingEncodesClearsRotatesAndSums) {
  std::array<uint8_t, channels::kWatermarkVarsSize> rec;
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = uint8_t(i * 37 + 11);
  const WatermarkParameters p{251 * 257, 7};
  const uint32_t checksum = platform::load_u32le(&rec[0]);
  const uint32_t seed = platform::load_u32le(&rec[4]);

  std::array<uint32_t, 39> want{};
  for (size_t w = 2; w < 34; ++w) want[w] = platform::load_u32le(&rec[4 * w]);
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t c = bn_mod_exp((checksum >> (8 * i)) & 0xFF, 7, p.modulus);
    const uint32_t s = bn_mod_exp((seed >> (8 * i)) & 0xFF, 7, p.modulus);
    // u16 pairs at 136 + 2i and 144 + 2i, little-endian words 34..37.
    want[34 + i / 2] |= c << (16 * (i % 2));
    want[36 + i / 2] |= s << (16 * (i % 2));
  }
  want[38] = platform::load_u32le(&rec[152]);
  uint32_t sum = 0;
  for (uint32_t& w : want) sum += (w = std::rotl(w, 1));

  seal_watermark(rec, p);
  for (size_t w = 0; w < 39; ++w) EXPECT_EQ(platform::load_u32le(&rec[4 * w]), want[w]) << w;
  EXPECT_EQ(platform::load_u32le(&rec[156]), sum);
  EXPECT_EQ(want[0], 0u);
}

}  // namespace
}  // namespace tessomar::recording
