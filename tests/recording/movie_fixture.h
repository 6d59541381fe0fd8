// Movie writer tests: item buffers as the viewer hands them over (a 32-byte picture header and
// its payload, length units x 64 bytes), a writer on a fresh file, and a reader for the atoms
// of the finished file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/ictl.h"
#include "platform/bytes.h"
#include "recording/movie_state.h"
#include "recording/movie_writer.h"

namespace tessomar::recording::testing {

constexpr uint32_t kT0 = 131284800;  // 2004/02/29 12:00:00

struct Pic {
  uint32_t t = kT0;
  uint8_t f = 0;
  bool key = false;
  uint16_t units = 2;  // d = 128: 96 payload bytes
  uint8_t w_mbs = 44;
  uint8_t h_mbs = 36;
  uint8_t byte14 = 0;
  uint32_t offset = 0;
  uint8_t fill = 0x11;  // payload bytes behind the length word
};

inline std::array<uint8_t, 32> header(uint32_t content, uint32_t t, uint8_t f, bool key,
                                      uint16_t units, uint8_t w, uint8_t h, uint8_t byte14,
                                      uint32_t offset) {
  std::array<uint8_t, 32> b{};
  platform::store_u32le(&b[0], 0x03000000);
  platform::store_u32le(&b[4], t);
  b[8] = f;
  b[11] = uint8_t(content << 6);
  b[12] = h;
  b[13] = w;
  b[14] = byte14;
  b[15] = key ? 0x00 : 0x10;
  b[16] = 0x5A;
  platform::store_u16le(&b[18], units);
  platform::store_u32le(&b[28], offset);
  return b;
}

inline std::vector<uint8_t> picture(const Pic& p) {
  const auto h = header(1, p.t, p.f, p.key, p.units, p.w_mbs, p.h_mbs, p.byte14, p.offset);
  std::vector<uint8_t> b(h.begin(), h.end());
  b.resize(std::max<size_t>(size_t(p.units) * 64, 64), p.fill);
  for (int i = 0; i < 4; ++i) b[32 + size_t(i)] = uint8_t(0x12 + 0x22 * i);  // rewritten
  return b;
}

// An audio block whose 16-bit samples are sample(j).
template <typename Sample>
std::vector<uint8_t> audio(uint32_t t, uint8_t f, uint32_t samples, Sample sample) {
  const uint16_t units = uint16_t((2 * samples + 64 + 63) / 64);
  const auto h = header(2, t, f, false, units, 0, 0, 0, 0);
  std::vector<uint8_t> b(h.begin(), h.end());
  b.resize(size_t(units) * 64, 0);
  for (uint32_t j = 0; j < samples; ++j) {
    const uint16_t v = sample(j);
    b[32 + 2 * j] = uint8_t(v);
    b[33 + 2 * j] = uint8_t(v >> 8);
  }
  return b;
}
inline std::vector<uint8_t> audio(uint32_t t, uint8_t f, uint32_t samples = 800) {
  return audio(t, f, samples, [](uint32_t j) { return uint16_t(j << 8); });
}

// Items back to back; the first header names their number.
inline std::vector<uint8_t> buffer(std::initializer_list<std::vector<uint8_t>> items) {
  std::vector<uint8_t> out;
  for (const auto& i : items) out.insert(out.end(), i.begin(), i.end());
  out[15] = uint8_t((out[15] & 0xF0) | ((items.size() - 1) & 0x0F));
  return out;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first atom of each type along a path, searched from `from` to `to` of the file.
struct Atom {
  size_t at = 0;
  uint32_t size = 0;
  bool found = false;
};
inline Atom find_atom(const std::vector<uint8_t>& file, size_t from, size_t to,
                      std::initializer_list<std::string_view> path, int index = 0) {
  Atom a;
  size_t lo = from, hi = to;
  size_t depth = 0;
  for (std::string_view type : path) {
    ++depth;
    // Children of a sample description entry start behind its fields; the test paths only
    // descend through container atoms.
    int seen = 0;
    bool hit = false;
    size_t pos = lo;
    while (pos + 8 <= hi) {
      const uint32_t size = platform::load_u32be(&file[pos]);
      if (size < 8 || pos + size > hi) break;
      if (std::string_view(reinterpret_cast<const char*>(&file[pos + 4]), 4) == type &&
          (depth < path.size() || seen++ == index)) {
        a = {pos, size, true};
        hit = true;
        break;
      }
      pos += size;
    }
    if (!hit) return {};
    lo = a.at + 8;
    hi = a.at + a.size;
  }
  return a;
}

inline uint32_t be32(const std::vector<uint8_t>& f, size_t at) {
  return platform::load_u32be(&f[at]);
}
inline uint16_t be16(const std::vector<uint8_t>& f, size_t at) {
  return platform::load_u16be(&f[at]);
}

class MovieFixture : public channels::testing::ChannelFixture {
 public:
  MovieFixture() : ictl(link, form, dialogs), writer(ictl) {
    ictl.register_ictl();
    ictl.declare_slots();
    path = ::testing::TempDir() + "tessomar_movie_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".mov";
    std::filesystem::remove(path);
    writer.set_file(path);
  }
  ~MovieFixture() override { std::filesystem::remove(path); }

  void begin(uint32_t start = kT0, uint32_t end = kT0 + 60) { writer.beginMovie(start, end); }
  int append(std::vector<uint8_t> items) { return writer.appendItems(items); }
  int append(const Pic& p) { return append(picture(p)); }
  const MovieWriter::State& s() const { return writer.state(); }
  // Closes the file as the backup job does.
  std::vector<uint8_t> finish() {
    const uint32_t size = writer.finishMediaData();
    writer.writeMovieAtom();
    writer.write_mdat_size(size);
    return read_file(path);
  }

  channels::IctlChannel ictl;
  MovieWriter writer;
  std::string path;
};

}  // namespace tessomar::recording::testing
