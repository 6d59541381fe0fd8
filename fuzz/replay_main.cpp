// Runs a fuzz target over its checked-in seed inputs without libFuzzer, so that every build
// replays them under CTest. Arguments are files or folders (every regular file inside).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  // An empty vector's data() may be null; the targets get a valid pointer either way.
  static const uint8_t kNothing = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        if (!replay(f)) return 1;
        ++count;
      }
    } else {
      if (!replay(arg)) return 1;
      ++count;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
