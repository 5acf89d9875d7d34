// Replays a fuzz target's seed corpus as an ordinary test: every file, and every prefix of it (short
// inputs are where decoders over-read), goes through the target's entry point. A crash or a sanitizer
// report fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t files = 0, runs = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i], ec)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      ++files;
      size_t prefixes = bytes.size() < 4096 ? bytes.size() : 4096;
      for (size_t n = 0; n < prefixes; ++n, ++runs) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        LLVMFuzzerTestOneInput(prefix.data(), prefix.size());
      }
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++runs;
    }
    if (ec) {
      std::fprintf(stderr, "cannot read corpus %s: %s\n", argv[i], ec.message().c_str());
      return 1;
    }
  }
  if (files == 0) {
    std::fprintf(stderr, "empty corpus\n");
    return 1;
  }
  std::printf("replayed %zu files in %zu runs\n", files, runs);
  return 0;
}
