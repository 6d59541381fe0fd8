// The movie writer's per-item work on D1 pictures (704 x 576, 25 fps, 8 KiB each): header
// checks, the length and frame-number rewrite, the checksum, the tables and the positioned
// write with its open and close. The anchor writes the same bytes with a plain pwrite to an
// open file, so the gap between the two is the writer's own cost. Both report items per
// second and that rate as a multiple of real time at 25 pictures per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "channels/ictl.h"
#include "link/link.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/form.h"
#include "platform/log.h"
#include "recording/movie_writer.h"

namespace {

using namespace tessomar;

constexpr uint32_t kBase = 131284800;
constexpr uint16_t kUnits = 128;  // 8 KiB per picture
constexpr uint32_t kFps = 25;
constexpr uint32_t kItemsPerFile = 2000;  // a new file keeps the disk use small

std::string temp_path() {
  std::string pattern = "/tmp/movie_bench_XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd >= 0) ::close(fd);
  return pattern;
}

std::vector<uint8_t> picture(uint32_t t, uint8_t f) {
  std::vector<uint8_t> b(size_t(kUnits) * 64);
  for (size_t i = 32; i < b.size(); ++i) b[i] = uint8_t(i * 131 + 7);
  platform::store_u32le(b.data(), 0x03000000);
  platform::store_u32le(b.data() + 4, t);
  b[8] = f;
  b[11] = 1 << 6;
  b[12] = 36;
  b[13] = 44;
  b[15] = f == 0 ? 0x00 : 0x10;
  platform::store_u16le(b.data() + 18, kUnits);
  return b;
}

void report(benchmark::State& state) {
  state.counters["items_per_s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["x_realtime"] =
      benchmark::Counter(double(state.iterations()) / kFps, benchmark::Counter::kIsRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * kUnits * 64);
}

void BM_MovieAppendD1(benchmark::State& state) {
  platform::ManualClock clock;
  platform::Logger logger;
  platform::Form form;
  platform::HeadlessDialogs dialogs{logger};
  link::Link link{form, clock, logger, [] { return 0u; }};
  channels::IctlChannel ictl{link, form, dialogs};
  recording::MovieWriter writer{ictl};
  const std::string path = temp_path();
  writer.set_file(path);

  uint32_t n = 0;
  std::vector<uint8_t> item;
  for (auto _ : state) {
    if (n % kItemsPerFile == 0) {
      state.PauseTiming();
      if (::truncate(path.c_str(), 0) != 0) state.SkipWithError("truncate failed");
      writer.beginMovie(kBase, kBase + 100000);
      n = 0;
      state.ResumeTiming();
    }
    item = picture(kBase + n / kFps, uint8_t(n % kFps));
    if (writer.checkItem(item) != recording::kItemFits || writer.appendItems(item) == -1) {
      state.SkipWithError("item refused");
      break;
    }
    ++n;
  }
  if (writer.write_failed()) state.SkipWithError("write failed");
  report(state);
  ::unlink(path.c_str());
}
BENCHMARK(BM_MovieAppendD1);

// Anchor: the same item built, its payload and 64-byte block written at the next offset.
void BM_MovieAppendD1Anchor_Pwrite(benchmark::State& state) {
  const std::string path = temp_path();
  const int fd = ::open(path.c_str(), O_WRONLY);
  const std::vector<uint8_t> block(64, 0);
  uint64_t position = 0;
  uint32_t n = 0;
  std::vector<uint8_t> item;
  for (auto _ : state) {
    if (n % kItemsPerFile == 0) {
      state.PauseTiming();
      if (::ftruncate(fd, 0) != 0) state.SkipWithError("truncate failed");
      position = 0;
      n = 0;
      state.ResumeTiming();
    }
    item = picture(kBase + n / kFps, uint8_t(n % kFps));
    const size_t payload = item.size() - 32;
    if (::pwrite(fd, item.data() + 32, payload, off_t(position)) != ssize_t(payload) ||
        ::pwrite(fd, block.data(), block.size(), off_t(position + payload)) != 64) {
      state.SkipWithError("write failed");
      break;
    }
    position += payload + block.size();
    ++n;
  }
  ::close(fd);
  ::unlink(path.c_str());
  report(state);
}
BENCHMARK(BM_MovieAppendD1Anchor_Pwrite);

}  // namespace
