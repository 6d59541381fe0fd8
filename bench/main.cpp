// The benchmark runner: Google Benchmark's console output, then one line per benchmark that
// has an anchor, with the ratio of their CPU times in this same run (below 1.0 is faster than
// the anchor) and the goal where there is one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Comparison {
  const char* benchmark;
  const char* anchor;
  double goal;  // 0: none
};

// Each benchmark against the anchor doing the same work (see the benchmark files).
constexpr Comparison kComparisons[] = {
    {"BM_MessageChecksum/1024", "BM_MessageChecksumAnchor_ByteSum/1024", 0},
    {"BM_MessageChecksum/262144", "BM_MessageChecksumAnchor_SampledWords/262144", 0},
    {"BM_RingWriteRead", "BM_RingWriteReadAnchor_TwoMemcpy", 0},
    {"BM_MovieAppendD1", "BM_MovieAppendD1Anchor_Pwrite", 0},
    {"BM_Convert704x576", "BM_Convert704x576Anchor_Swscale", 1.0},
    {"BM_Convert704x576_Scalar", "BM_Convert704x576Anchor_Swscale", 0},
    {"BM_LineDoubling704x288", "BM_Convert704x576Anchor_Swscale", 0},
    {"BM_LineDoubling704x288_Scalar", "BM_Convert704x576Anchor_Swscale", 0},
    {"BM_Deinterlace704x576", "BM_Convert704x576Anchor_Swscale", 3.0},
    {"BM_Deinterlace704x576_Sse2", "BM_Convert704x576Anchor_Swscale", 0},
    {"BM_Deinterlace704x576_Scalar", "BM_Convert704x576Anchor_Swscale", 0},
    {"BM_Scaling352x288", "BM_Convert704x576Anchor_Swscale", 1.5},
    {"BM_Scaling352x288", "BM_Scaling352x288Anchor_SwscaleBilinear", 1.0},
    {"BM_Scaling352x288_Sse2", "BM_Scaling352x288Anchor_SwscaleBilinear", 0},
    {"BM_Scaling352x288_Scalar", "BM_Scaling352x288Anchor_SwscaleBilinear", 0},
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        cpu_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    bool header = false;
    for (const Comparison& c : kComparisons) {
      const auto b = cpu_.find(c.benchmark);
      const auto a = cpu_.find(c.anchor);
      if (b == cpu_.end() || a == cpu_.end() || a->second <= 0) continue;
      if (!header) std::printf("\nCPU time against the anchor, same run:\n");
      header = true;
      const double ratio = b->second / a->second;
      std::printf("ratio %-30s %6.2fx  of %s", c.benchmark, ratio, c.anchor);
      if (c.goal > 0)
        std::printf("  (goal <= %.1fx: %s)", c.goal, ratio <= c.goal ? "met" : "NOT met");
      std::printf("\n");
    }
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
