#pragma once
// The process's resource use as the once-a-minute monitor line reports it, read from /proc. A value
// that cannot be measured is -1.
#include <cstdint>
#include <filesystem>
#include <string>

namespace tavlo {

struct ResourceSample {
  int64_t rssMb = -1;            // resident memory in whole MiB, rounded down
  int64_t openDescriptors = -1;  // entries of the descriptor folder (the listing's own included)
  int64_t threads = -1;
};

// `procSelf` is the process's /proc folder ("/proc/self"; tests hand in a folder of their own).
ResourceSample sampleResources(const std::filesystem::path& procSelf = "/proc/self");
int64_t threadCount(const std::filesystem::path& procSelf = "/proc/self");

// "🧠 zasoby: RSS " + RSS + " MB, fd " + descriptors + ", wątki " + threads.
std::string resourceLine(const ResourceSample& sample);

}  // namespace tavlo
