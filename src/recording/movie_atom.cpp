// The movie atom, one function per atom: each writes its own header, fields and children and
// patches its size when it ends, so the layout reads in file order.
#include "recording/movie_atom.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/bytes.h"

namespace tessomar::recording {
namespace {

constexpr uint32_t kVideoTrackId = 1;
constexpr uint32_t kTextTrackId = 2;
constexpr uint32_t kSoundTrackId = 3;
constexpr uint32_t kNextTrackId = 3;
constexpr uint32_t kFixedOne = 0x00010000;
constexpr uint32_t kMatrixW = 0x40000000;
constexpr uint32_t kMediaTime = 0xC2AE3899;
constexpr uint32_t kSoundTime = 0xC2CA0769;
constexpr uint32_t kVideoSampleDuration = 20;

enum class Track { kVideo, kSound, kText };

// What the atoms take from the writer's state.
struct Movie {
  const MovieWriter::State& s;
  uint32_t T = 0;  // time scale
  uint32_t D = 0;  // duration
  uint32_t W = 0;
  uint32_t H = 0;
};

// The big-endian writer behind every atom; an atom starts with a size placeholder that its
// end fills in.
class AtomWriter {
 public:
  explicit AtomWriter(std::span<uint8_t> out) : w_(out) {}
  platform::ByteWriter& w() { return w_; }

  size_t begin(std::string_view type) {
    const size_t at = w_.pos();
    w_.u32be(0);
    w_.fourcc(type);
    return at;
  }
  void end(size_t at) {
    const size_t here = w_.pos();
    w_.seek(at);
    w_.u32be(uint32_t(here - at));
    w_.seek(here);
  }
  void u16(uint32_t v) { w_.u16be(uint16_t(v)); }
  void u32(uint32_t v) { w_.u32be(v); }
  void fourcc(std::string_view v) { w_.fourcc(v); }
  void zeros(size_t n) { w_.zeros(n); }
  void matrix(uint32_t v, uint32_t x, uint32_t y) {
    for (uint32_t m : {kFixedOne, 0u, 0u, 0u, v, 0u, x, y, kMatrixW}) u32(m);
  }

 private:
  platform::ByteWriter w_;
};

void write_mvhd(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("mvhd");
  a.u32(0);
  a.u32(m.s.firstTime);
  a.u32(m.s.lastVideoTime);
  a.u32(m.T);
  a.u32(m.D);
  a.u32(kFixedOne);  // preferred rate
  a.u16(0);          // preferred volume
  a.fourcc("qorn");
  a.w().u8(0x02);
  a.w().u8(0x01);
  a.zeros(4);
  a.matrix(kFixedOne, 0, 0);
  a.u32(0);    // preview time
  a.u32(0);    // preview duration
  a.u32(0);    // poster time
  a.u32(m.D);  // selection time
  a.u32(0);    // selection duration
  a.u32(0);    // current time
  a.u32(kNextTrackId);
  a.end(at);
}

void write_tkhd(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("tkhd");
  const auto& f = m.s.fieldFactors;
  a.u32(0x0000000F);
  switch (track) {
    case Track::kVideo:
      a.u32(0);
      a.u32(kMediaTime);
      a.u32(kVideoTrackId);
      break;
    case Track::kSound:
      a.u32(0xC2CA0732);
      a.u32(kSoundTime);
      a.u32(kSoundTrackId);
      break;
    case Track::kText:
      a.u32(0xC2AE3885);
      a.u32(kMediaTime);
      a.u32(kTextTrackId);
      break;
  }
  a.zeros(4);
  a.u32(m.D);
  a.zeros(8);
  a.u16(track == Track::kVideo ? 0 : 0xFFFF);  // layer
  a.u16(0);                                    // alternate group
  a.u16(track == Track::kSound ? 0x0100 : 0);  // volume
  a.zeros(2);
  switch (track) {
    case Track::kVideo: {
      const uint32_t a_factor = std::max<uint32_t>(f[0], 1);
      a.matrix(f[2] * kFixedOne / a_factor, 0, 0);
      a.u32(m.W << 16);
      a.u32(m.H << 16);
      break;
    }
    case Track::kSound:
      a.matrix(kFixedOne, 0, 0);
      a.u32(0);
      a.u32(0);
      break;
    case Track::kText: {
      const uint32_t e = m.W < 640 ? m.H : m.H * f[2] / std::max<uint32_t>(f[3], 1);
      a.matrix(kFixedOne, (m.W - 160) * 65536, (e - 16) * 65536);
      a.u32(160u << 16);
      a.u32(16u << 16);
      break;
    }
  }
  a.end(at);
}

void write_aperture_mode(AtomWriter& a, std::string_view type, uint32_t w, uint32_t h) {
  const size_t at = a.begin(type);
  a.u32(0);
  a.u32(w << 16);
  a.u32(h << 16);
  a.end(at);
}

void write_tapt(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("tapt");
  write_aperture_mode(a, "clef", m.W, m.H);
  write_aperture_mode(a, "prof", 0, 0);
  write_aperture_mode(a, "enof", 0, 0);
  a.end(at);
}

void write_elst(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("elst");
  a.u32(0);
  a.u32(1);
  a.u32(m.D);
  a.u32(0);
  a.u32(track == Track::kText ? 0x00000064 : kFixedOne);
  a.end(at);
}

void write_edts(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("edts");
  write_elst(a, m, track);
  a.end(at);
}

void write_mdhd(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("mdhd");
  a.u32(0);
  const uint32_t time = track == Track::kSound ? kSoundTime : kMediaTime;
  a.u32(time);
  a.u32(time);
  switch (track) {
    case Track::kVideo:
      a.u32(m.T);
      a.u32(m.D);
      break;
    case Track::kSound:
      a.u32(kAudioRate);
      a.u32(m.s.audioSamples);
      break;
    case Track::kText:
      a.u32(655 * m.D + (36 * m.D) / 100);
      a.u32(m.D);
      break;
  }
  a.u16(0);  // language
  a.u16(0);  // quality
  a.end(at);
}

struct Handler {
  std::string_view type;
  std::string_view subtype;
  std::array<uint8_t, 4> manufacturer;
  uint32_t flags;
  uint32_t mask;
  std::array<uint8_t, 14> name;  // Big5
};

constexpr std::array<uint8_t, 4> kAppl = {'a', 'p', 'p', 'l'};
constexpr Handler kVideoHandler = {
    "mhlr",
    "vide",
    kAppl,
    0,
    0x00010023,
    {0xB5, 0xF8, 0xB0, 0x54, 0xB4, 0x43, 0xC5, 0xE9, 0xB3, 0x42, 0xB2, 0x7A, 0xBE, 0xB9}};
constexpr Handler kSoundHandler = {
    "mhlr",
    "soun",
    kAppl,
    0,
    0x00010021,
    {0xC1, 0x6E, 0xAD, 0xB5, 0xB4, 0x43, 0xC5, 0xE9, 0xB3, 0x42, 0xB2, 0x7A, 0xBE, 0xB9}};
constexpr Handler kTextHandler = {
    "mhlr",
    "text",
    {0x61, 0x70, 0x70, 0x32},
    0x80000001,
    0x00010029,
    {0xA4, 0xE5, 0xA6, 0x72, 0xB4, 0x43, 0xC5, 0xE9, 0xB3, 0x42, 0xB2, 0x7A, 0xBE, 0xB9}};
constexpr Handler kDataHandler = {
    "dhlr",
    "alis",
    kAppl,
    0x00000001,
    0x0001002E,
    {0xB4, 0xC0, 0xA8, 0xAD, 0xB8, 0xEA, 0xAE, 0xC6, 0xB3, 0x42, 0xB2, 0x7A, 0xBE, 0xB9}};

void write_hdlr(AtomWriter& a, const Handler& h) {
  const size_t at = a.begin("hdlr");
  a.u32(0);
  a.fourcc(h.type);
  a.fourcc(h.subtype);
  a.w().bytes(h.manufacturer);
  a.u32(h.flags);
  a.u32(h.mask);
  a.w().u8(0x17);
  a.w().text("Apple ");
  a.w().bytes(h.name);
  a.zeros(3);
  a.end(at);
}

void write_vmhd(AtomWriter& a) {
  const size_t at = a.begin("vmhd");
  a.u32(0x00000001);
  a.u16(0x0040);
  for (int i = 0; i < 3; ++i) a.u16(0x8000);
  a.end(at);
}

void write_smhd(AtomWriter& a) {
  const size_t at = a.begin("smhd");
  a.u32(0);
  a.u16(0);  // balance
  a.u16(0);
  a.end(at);
}

void write_gmin(AtomWriter& a) {
  const size_t at = a.begin("gmin");
  a.u32(0);
  a.u16(0x0040);
  for (int i = 0; i < 3; ++i) a.u16(0x8000);
  a.u16(0);  // balance
  a.u16(0);
  a.end(at);
}

void write_gmhd_text(AtomWriter& a) {
  const size_t at = a.begin("text");
  for (uint32_t v : {0x100u, 0u, 0u, 0u, 0x100u, 0u, 0u, 0u, 0x40u}) a.u32(v);
  a.end(at);
}

void write_gmhd(AtomWriter& a) {
  const size_t at = a.begin("gmhd");
  write_gmin(a);
  write_gmhd_text(a);
  a.end(at);
}

void write_alis(AtomWriter& a) {
  const size_t at = a.begin("alis");
  a.u32(0x00000001);  // the data is in this file
  a.end(at);
}

void write_dref(AtomWriter& a) {
  const size_t at = a.begin("dref");
  a.u32(0);
  a.u32(1);
  write_alis(a);
  a.end(at);
}

void write_dinf(AtomWriter& a) {
  const size_t at = a.begin("dinf");
  write_dref(a);
  a.end(at);
}

void write_clap(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("clap");
  for (uint32_t v : {m.W, 1u, m.H, 1u, 0u, 1u, 0u, 1u}) a.u32(v);
  a.end(at);
}

void write_avcc(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("avcC");
  for (uint32_t b : {0x01u, 0x00u, 0x00u, 0x00u, 0x03u, 0x01u}) a.w().u8(uint8_t(b));
  a.w().bytes(m.s.avcParameterSets.data(), m.s.avcParameterSetsLength);
  a.end(at);
}

void write_avc1(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("avc1");
  a.zeros(6);
  a.u16(0x0000);  // data reference index
  a.u16(0x0001);  // version
  a.u16(0x0001);  // revision level
  a.fourcc("appl");
  a.u32(0);  // temporal quality
  a.u32(0x00000202);
  a.u16(m.W);
  a.u16(m.H);
  a.u32(0x00480000);
  a.u32(0x00480000);
  a.u32(0);  // data size
  a.u16(1);  // frame count
  a.w().u8(5);
  a.w().text("H.264");
  a.zeros(26);
  a.u16(0x0018);
  a.u16(0xFFFF);
  write_clap(a, m);
  write_avcc(a, m);
  a.end(at);
}

void write_raw(AtomWriter& a) {
  const size_t at = a.begin("raw ");
  a.zeros(6);
  a.u16(1);  // data reference index
  a.u16(1);  // version
  a.u16(0);  // revision
  a.u32(0);  // vendor
  a.u16(1);  // channels
  a.u16(8);  // sample size
  a.u16(0xFFFF);
  a.u16(0);  // packet size
  a.u32(0x1F400000);
  for (int i = 0; i < 4; ++i) a.u32(1);  // per packet, bytes per packet, frame, sample
  a.end(at);
}

void write_text_description(AtomWriter& a) {
  const size_t at = a.begin("text");
  a.zeros(6);
  a.u16(1);
  a.u32(0x00005000);  // display flags
  a.u32(0);           // justification
  for (int i = 0; i < 3; ++i) a.u16(0);
  for (uint32_t v : {0u, 0u, 16u, 160u}) a.u16(v);  // text box
  a.u32(0);                                         // start character
  a.u16(16);                                        // height
  a.u16(13);                                        // ascent
  a.u32(0);                                         // font and face
  a.u16(12);                                        // size
  for (int i = 0; i < 3; ++i) a.u16(0xFFFF);
  a.w().u8(0);  // font name
  a.end(at);
}

void write_stsd(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("stsd");
  a.u32(0);
  a.u32(1);
  switch (track) {
    case Track::kVideo:
      write_avc1(a, m);
      break;
    case Track::kSound:
      write_raw(a);
      break;
    case Track::kText:
      write_text_description(a);
      break;
  }
  a.end(at);
}

void write_stts(AtomWriter& a, uint32_t count, uint32_t duration) {
  const size_t at = a.begin("stts");
  a.u32(0);
  a.u32(1);
  a.u32(count);
  a.u32(duration);
  a.end(at);
}

void write_stss(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("stss");
  a.u32(0);
  a.u32(m.s.keyFrameCount);
  for (uint32_t i = 0; i < m.s.keyFrameCount; ++i) a.u32(m.s.keyFrames[i]);
  a.end(at);
}

void write_stsc(AtomWriter& a, std::span<const ChunkRun> runs) {
  const size_t at = a.begin("stsc");
  a.u32(0);
  a.u32(uint32_t(runs.size()));
  for (const ChunkRun& r : runs) {
    a.u32(r.first_chunk);
    a.u32(r.samples);
    a.u32(r.description);
  }
  a.end(at);
}

// A constant size with a count but no entries, a table of sizes, or (text) both.
void write_stsz(AtomWriter& a, uint32_t size, uint32_t count, std::span<const uint32_t> sizes,
                uint32_t repeated = 0, uint32_t repeats = 0) {
  const size_t at = a.begin("stsz");
  a.u32(0);
  a.u32(size);
  a.u32(count);
  for (uint32_t v : sizes) a.u32(v);
  for (uint32_t i = 0; i < repeats; ++i) a.u32(repeated);
  a.end(at);
}

void write_stco(AtomWriter& a, std::span<const uint32_t> offsets) {
  const size_t at = a.begin("stco");
  a.u32(0);
  a.u32(uint32_t(offsets.size()));
  for (uint32_t v : offsets) a.u32(v);
  a.end(at);
}

void write_stbl(AtomWriter& a, const Movie& m, Track track) {
  const MovieWriter::State& s = m.s;
  const size_t at = a.begin("stbl");
  write_stsd(a, m, track);
  constexpr ChunkRun kOnePerChunk = {1, 1, 1};
  switch (track) {
    case Track::kVideo: {
      write_stts(a, s.sampleCount, kVideoSampleDuration);
      write_stss(a, m);
      write_stsc(a, std::span<const ChunkRun>(&kOnePerChunk, 1));
      write_stsz(a, 0, s.sampleCount,
                 std::span<const uint32_t>(s.sampleSizes).first(s.sampleCount));
      write_stco(a, std::span<const uint32_t>(s.sampleOffsets).first(s.sampleCount));
      break;
    }
    case Track::kSound:
      write_stts(a, s.audioSamples, 1);
      write_stsc(a, std::span<const ChunkRun>(s.chunkRuns).first(s.chunkRunCount));
      write_stsz(a, 1, s.audioSamples, {});
      write_stco(a, std::span<const uint32_t>(s.chunkOffsets).first(s.chunkCount));
      break;
    case Track::kText:
      write_stts(a, s.textCount, m.D);
      write_stsc(a, std::span<const ChunkRun>(&kOnePerChunk, 1));
      write_stsz(a, 48, s.textCount, {}, kTextSampleSize, s.textCount);
      write_stco(a, std::span<const uint32_t>(s.textOffsets).first(s.textCount));
      break;
  }
  a.end(at);
}

void write_minf(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("minf");
  switch (track) {
    case Track::kVideo:
      write_vmhd(a);
      break;
    case Track::kSound:
      write_smhd(a);
      break;
    case Track::kText:
      write_gmhd(a);
      break;
  }
  write_hdlr(a, kDataHandler);
  write_dinf(a);
  write_stbl(a, m, track);
  a.end(at);
}

void write_mdia(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("mdia");
  write_mdhd(a, m, track);
  write_hdlr(a, track == Track::kVideo   ? kVideoHandler
                : track == Track::kSound ? kSoundHandler
                                         : kTextHandler);
  write_minf(a, m, track);
  a.end(at);
}

void write_udta(AtomWriter& a) {
  const size_t at = a.begin("udta");
  a.u32(0);
  a.end(at);
}

void write_trak(AtomWriter& a, const Movie& m, Track track) {
  const size_t at = a.begin("trak");
  write_tkhd(a, m, track);
  if (track == Track::kVideo) write_tapt(a, m);
  write_edts(a, m, track);
  write_mdia(a, m, track);
  write_udta(a);
  a.end(at);
}

void write_moov(AtomWriter& a, const Movie& m) {
  const size_t at = a.begin("moov");
  write_mvhd(a, m);
  write_trak(a, m, Track::kVideo);
  if (m.s.chunkCount > 0) write_trak(a, m, Track::kSound);
  if (m.s.textCount > 0) write_trak(a, m, Track::kText);
  a.end(at);
}

}  // namespace

MovieAtomLengths movie_atom_lengths(const MovieWriter::State& s) {
  MovieAtomLengths l;
  l.video = 700 + s.avcParameterSetsLength + 4 * s.keyFrameCount + 8 * s.sampleCount;
  if (s.chunkCount > 0) l.sound = 512 + 12 * s.chunkRunCount + 4 * s.chunkCount;
  if (s.textCount > 0) l.text = 591 + 8 * s.textCount;
  l.moov = 116 + l.video + l.sound + l.text;
  return l;
}

size_t build_movie_atom(const MovieWriter::State& s, std::span<uint8_t> out) {
  const uint32_t length = movie_atom_lengths(s).moov;
  if (out.size() < length) return 0;
  Movie m{s};
  m.T = s.fps() * kVideoSampleDuration;
  m.D = m.T * (s.lastVideoTime - s.firstTime);
  m.W = s.pictureWidth;
  m.H = s.pictureHeight;
  AtomWriter a(out.first(length));
  write_moov(a, m);
  return a.w().error() ? 0 : a.w().pos();
}

uint32_t padding_after_record(uint64_t p) {
  const uint64_t end = ((p + channels::kWatermarkVarsSize) / 512) * 512 + 512;
  return uint32_t(end - (p + channels::kWatermarkVarsSize));
}

uint16_t watermark_encode(uint8_t x, const WatermarkParameters& p) {
  if (p.modulus == 0) return 0;
  uint64_t r = 1 % p.modulus;
  for (uint32_t i = 0; i < p.exponent; ++i) r = (r * x) % p.modulus;
  return uint16_t(r);
}

void seal_watermark(std::span<uint8_t, channels::kWatermarkVarsSize> record,
                    const WatermarkParameters& p) {
  const uint32_t checksum = platform::load_u32le(record.data() + kWatermarkChecksum);
  const uint32_t seed = platform::load_u32le(record.data() + kWatermarkSeedCopy);
  for (uint32_t i = 0; i < 4; ++i) {
    platform::store_u16le(record.data() + kWatermarkSealedChecksum + 2 * i,
                          watermark_encode(uint8_t(checksum >> (8 * i)), p));
    platform::store_u16le(record.data() + kWatermarkSealedSeed + 2 * i,
                          watermark_encode(uint8_t(seed >> (8 * i)), p));
  }
  platform::store_u32le(record.data() + kWatermarkChecksum, 0);
  platform::store_u32le(record.data() + kWatermarkSeedCopy, 0);
  uint32_t sum = 0;
  for (size_t at = 0; at < kWatermarkSum; at += 4) {
    const uint32_t w = platform::load_u32le(record.data() + at);
    const uint32_t rotated = (w << 1) | (w >> 31);
    platform::store_u32le(record.data() + at, rotated);
    sum += rotated;
  }
  platform::store_u32le(record.data() + kWatermarkSum, sum);
}

void MovieWriter::setWatermarkParameters() {
  // 251 and 257 are prime; (250)(256) = 64000 has no factor 7. The modulus stays below 2^16,
  // so every sealed value fits its 16-bit field.
  state_->watermark = {251 * 257, 7};
}

void MovieWriter::writeMovieAtom() {
  State& s = *state_;
  std::array<uint8_t, 1u << 20>& out = *scratch_;
  static_assert(kMaxMovieAtomSize + channels::kWatermarkVarsSize + 512 <= sizeof(out));
  const size_t moov = build_movie_atom(s, out);
  const std::span<uint8_t, channels::kWatermarkVarsSize> record = watermark();
  seal_watermark(record, s.watermark);
  std::copy(record.begin(), record.end(), out.begin() + std::ptrdiff_t(moov));
  const uint32_t padding = padding_after_record(uint64_t(s.position) + moov);
  std::fill_n(out.begin() + std::ptrdiff_t(moov + record.size()), padding, uint8_t(0));
  const size_t total = moov + record.size() + padding;
  write(s.position, std::span<const uint8_t>(out.data(), total));
  s.position += uint32_t(total);
}

}  // namespace tessomar::recording
