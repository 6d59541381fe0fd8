// Drives the movie writer with a script of pictures, audio blocks and raw item buffers: each
// buffer is checked and appended as the backup job does, then the file is closed with its
// trailer and movie atom. The finished file must agree with the writer's tables: the moov
// length matches its formula, every sample lies inside the media data, the file ends at the
// writer's position on a 512-byte boundary.
//
// Script: byte 0 window length (seconds, 0-63), byte 1 picture size (table index), byte 2
// field bits of byte 14; then operations, each a type byte followed by its arguments:
//   0 picture: time step (signed), frame, key, length units 1-8
//   1 audio block: time step, frame, length units 1-40
//   2 raw buffer: length byte, then that many bytes as an item buffer (headers as they come)
//   3 two pictures and an audio block in one buffer: time step, frame
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/ictl.h"
#include "link/link.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/form.h"
#include "platform/log.h"
#include "recording/movie_atom.h"
#include "recording/movie_state.h"
#include "recording/movie_writer.h"

using namespace tessomar;
using recording::MovieWriter;

namespace {

constexpr uint32_t kBase = 131284800;
constexpr std::array<std::array<uint8_t, 2>, 6> kSizes = {
    {{44, 36}, {40, 30}, {22, 18}, {20, 15}, {1, 1}, {45, 37}}};

struct Harness {
  platform::ManualClock clock;
  platform::Logger logger;
  platform::Form form;
  platform::HeadlessDialogs dialogs{logger};
  link::Link link{form, clock, logger, [] { return 0u; }};
  channels::IctlChannel ictl{link, form, dialogs};
  MovieWriter writer{ictl};
  std::string path;

  Harness() {
    std::string pattern = "/tmp/movie_fuzz_XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) __builtin_trap();
    ::close(fd);
    path = pattern;
    writer.set_file(path);
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return pos_ < size_; }
  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::vector<uint8_t> item(uint32_t content, uint32_t t, uint8_t f, bool key, uint16_t units,
                          uint8_t w, uint8_t h, uint8_t byte14) {
  std::vector<uint8_t> b(size_t(units) * 64, 0x5A);
  std::fill(b.begin(), b.begin() + 32, uint8_t(0));
  platform::store_u32le(b.data(), 0x03000000);
  platform::store_u32le(b.data() + 4, t);
  b[8] = f;
  b[11] = uint8_t(content << 6);
  b[12] = h;
  b[13] = w;
  b[14] = byte14;
  b[15] = key ? 0x00 : 0x10;
  platform::store_u16le(b.data() + 18, units);
  return b;
}

void check_file(const Harness& hs) {
  const MovieWriter::State& s = hs.writer.state();
  const int fd = ::open(hs.path.c_str(), O_RDONLY);
  if (fd < 0) __builtin_trap();
  const off_t length = ::lseek(fd, 0, SEEK_END);
  std::array<uint8_t, 8> moov_head{};
  const ssize_t got = ::pread(fd, moov_head.data(), 8, off_t(s.mediaDataStart));
  uint32_t mdat = got == 8 ? platform::load_u32be(moov_head.data()) : 0;
  const ssize_t got2 = ::pread(fd, moov_head.data(), 8, off_t(s.mediaDataStart) + off_t(mdat));
  ::close(fd);
  if (got != 8 || got2 != 8) __builtin_trap();

  if (uint64_t(length) != s.position || s.position % 512 != 0) __builtin_trap();
  const recording::MovieAtomLengths l = recording::movie_atom_lengths(s);
  if (platform::load_u32be(moov_head.data()) != l.moov) __builtin_trap();
  if (platform::load_u32le(moov_head.data() + 4) != platform::fourcc_value("moov")) {
    __builtin_trap();
  }
  // Samples, chunks and text inside the media data, before the trailer.
  const uint64_t media_end = uint64_t(s.mediaDataStart) + mdat - recording::kTrailerSize;
  if (s.sampleCount > recording::kMaxVideoSamples || s.keyFrameCount > recording::kMaxKeyFrames ||
      s.chunkCount > recording::kMaxAudioChunks || s.textCount > recording::kMaxTextSamples ||
      s.chunkRunCount > recording::kMaxChunkRuns) {
    __builtin_trap();
  }
  for (uint32_t i = 0; i < s.sampleCount; ++i) {
    if (s.sampleOffsets[i] < 48 || uint64_t(s.sampleOffsets[i]) + s.sampleSizes[i] > media_end) {
      __builtin_trap();
    }
  }
  for (uint32_t i = 0; i < s.keyFrameCount; ++i) {
    if (s.keyFrames[i] == 0 || s.keyFrames[i] > s.sampleCount) __builtin_trap();
    if (i > 0 && s.keyFrames[i] <= s.keyFrames[i - 1]) __builtin_trap();
  }
  for (uint32_t i = 0; i < s.textCount; ++i) {
    if (uint64_t(s.textOffsets[i]) + recording::kTextSampleSize > media_end) __builtin_trap();
  }
  // The runs describe every chunk, and the chunks hold every audio sample.
  uint64_t samples = 0;
  for (uint32_t r = 0; r < s.chunkRunCount; ++r) {
    const uint32_t first = s.chunkRuns[r].first_chunk;
    const uint32_t end =
        r + 1 < s.chunkRunCount ? s.chunkRuns[r + 1].first_chunk : s.chunkCount + 1;
    if (first == 0 || end <= first || s.chunkRuns[r].samples == 0) __builtin_trap();
    for (uint32_t c = first; c < end; ++c) {
      if (uint64_t(s.chunkOffsets[c - 1]) + s.chunkRuns[r].samples > media_end) __builtin_trap();
    }
    samples += uint64_t(end - first) * s.chunkRuns[r].samples;
  }
  if (s.chunkCount > 0 && (s.chunkRunCount == 0 || s.chunkRuns[0].first_chunk != 1)) {
    __builtin_trap();
  }
  if (samples != s.audioSamples) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& hs = harness();
  MovieWriter& writer = hs.writer;
  if (::truncate(hs.path.c_str(), 0) != 0) __builtin_trap();
  Script in(data, size);
  const uint32_t window = in.next() & 63;
  const auto& size_mbs = kSizes[in.next() % kSizes.size()];
  const uint8_t byte14 = uint8_t(in.next() & 0x0C);
  writer.beginMovie(kBase, kBase + window);

  int32_t t = 0;
  int ops = 0;
  while (in.more() && ops++ < 400) {
    std::vector<uint8_t> buffer;
    const uint8_t op = in.next() & 3;
    if (op == 2) {
      const size_t n = in.next();
      for (size_t i = 0; i < n; ++i) buffer.push_back(in.next());
    } else {
      t += int8_t(in.next()) % 4;
      if (t < -2) t = -2;
      if (t > int32_t(window) + 8) t = int32_t(window) + 8;
      const uint32_t when = uint32_t(int64_t(kBase) + t);
      const uint8_t f = uint8_t(in.next() % 32);
      if (op == 0) {
        const bool key = (in.next() & 1) != 0;
        const uint16_t units = uint16_t(1 + in.next() % 8);
        buffer = item(1, when, f, key, units, size_mbs[0], size_mbs[1], byte14);
      } else if (op == 1) {
        buffer = item(2, when, f, true, uint16_t(1 + in.next() % 40), 0, 0, 0);
      } else {
        buffer = item(1, when, f, false, 2, size_mbs[0], size_mbs[1], byte14);
        const auto second = item(1, when, uint8_t(f + 1), false, 3, size_mbs[0], size_mbs[1], 0);
        const auto sound = item(2, when, f, true, 14, 0, 0, 0);
        buffer.insert(buffer.end(), second.begin(), second.end());
        buffer.insert(buffer.end(), sound.begin(), sound.end());
        buffer[15] = uint8_t((buffer[15] & 0xF0) | 2);
      }
    }
    const uint32_t samples_before = writer.sampleCount();
    const uint32_t position_before = writer.position();
    const int r = writer.checkItem(buffer);
    if (r == recording::kItemRefused) break;
    if (r == recording::kItemSplit) break;
    const int a = writer.appendItems(buffer);
    if (writer.sampleCount() < samples_before || writer.position() < position_before) {
      __builtin_trap();
    }
    if (a == 0) break;
  }

  if (writer.sampleCount() == 0) {
    // Nothing is written before the first key frame.
    if (writer.position() != 0 || ::access(hs.path.c_str(), F_OK) != 0) __builtin_trap();
    struct stat st {};
    if (::stat(hs.path.c_str(), &st) != 0 || st.st_size != 0) __builtin_trap();
    return 0;
  }
  const uint32_t mdat = writer.finishMediaData();
  writer.writeMovieAtom();
  writer.write_mdat_size(mdat);
  if (writer.write_failed()) __builtin_trap();
  check_file(hs);
  return 0;
}
