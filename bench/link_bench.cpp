// The link's per-message byte work: the message checksum and the pass of one frame's worth
// of bytes through the send ring. Each has an anchor doing the least work over the same bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "link/ring.h"
#include "link/wire.h"

namespace {

using namespace tessomar::link;

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 131 + 7);
  return v;
}

// The checksum reads every byte of a message up to 1 KiB, but only one 32-bit word per whole
// KiB of a longer one: at 256 KiB it reads 256 words (1 KiB), not 256 KiB. So the counters
// are what was read ("read_bytes_per_second") and whole messages ("messages_per_second"),
// never the message size per second, and each size has an anchor reading the same bytes.
void report_checksum(benchmark::State& state, uint32_t message) {
  const uint32_t read = message <= 1024 ? message : message / 1024 * 4;
  const double n = double(state.iterations());
  state.counters["read_bytes_per_second"] =
      benchmark::Counter(n * read, benchmark::Counter::kIsRate, benchmark::Counter::kIs1024);
  state.counters["messages_per_second"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.SetLabel(message <= 1024 ? "every byte" : "one word per KiB");
}

void BM_MessageChecksum(benchmark::State& state) {
  const auto bytes = pattern(size_t(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    uint32_t sum = message_checksum(bytes.data(), uint32_t(bytes.size()));
    benchmark::DoNotOptimize(sum);
  }
  report_checksum(state, uint32_t(state.range(0)));
}
BENCHMARK(BM_MessageChecksum)->Arg(1024)->Arg(262144);

// Anchor of the short message: the plain byte sum.
void BM_MessageChecksumAnchor_ByteSum(benchmark::State& state) {
  const auto bytes = pattern(size_t(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    uint32_t sum = std::accumulate(bytes.begin(), bytes.end(), uint32_t(0));
    benchmark::DoNotOptimize(sum);
  }
  report_checksum(state, uint32_t(state.range(0)));
}
BENCHMARK(BM_MessageChecksumAnchor_ByteSum)->Arg(1024);

// Anchor of the long message: the plain sum of the same sampled words.
void BM_MessageChecksumAnchor_SampledWords(benchmark::State& state) {
  const auto bytes = pattern(size_t(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    uint32_t sum = 0;
    for (size_t off = 0; off + 1024 <= bytes.size(); off += 1024) {
      uint32_t w;
      std::memcpy(&w, bytes.data() + off, 4);
      sum += w;
    }
    benchmark::DoNotOptimize(sum);
  }
  report_checksum(state, uint32_t(state.range(0)));
}
BENCHMARK(BM_MessageChecksumAnchor_SampledWords)->Arg(262144);

constexpr uint32_t kMessage = kMaxBatch;  // one frame's payload

// Write then read one message; the positions walk round the ring and wrap regularly.
void BM_RingWriteRead(benchmark::State& state) {
  std::vector<uint8_t> storage(kSendRingSize);
  ByteRing ring{0, 0, kSendRingSize, storage.data()};
  const auto in = pattern(kMessage);
  std::vector<uint8_t> out(kMessage);
  for (auto _ : state) {
    if (ring_write(in.data(), kMessage, &ring) != 0 ||
        ring_read(&ring, out.data(), kMessage) != 0) {
      state.SkipWithError("ring refused a message");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kMessage);
}
BENCHMARK(BM_RingWriteRead);

// Anchor: the two copies a ring pass cannot avoid.
void BM_RingWriteReadAnchor_TwoMemcpy(benchmark::State& state) {
  std::vector<uint8_t> storage(kSendRingSize);
  const auto in = pattern(kMessage);
  std::vector<uint8_t> out(kMessage);
  uint32_t pos = 0;
  for (auto _ : state) {
    std::memcpy(storage.data() + pos, in.data(), kMessage);
    benchmark::ClobberMemory();
    std::memcpy(out.data(), storage.data() + pos, kMessage);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    pos += kMessage;
    if (pos + kMessage > kSendRingSize) pos = 0;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kMessage);
}
BENCHMARK(BM_RingWriteReadAnchor_TwoMemcpy);

}  // namespace
