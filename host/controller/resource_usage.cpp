#include "host/controller/resource_usage.hpp"

#include <unistd.h>

#include <fstream>
#include <system_error>

namespace tavlo {
namespace fs = std::filesystem;

namespace {

int64_t countEntries(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return -1;
  int64_t count = 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return -1;
    ++count;
  }
  return ec ? -1 : count;
}

int64_t residentMb(const fs::path& procSelf) {
  // statm: total program size, then resident pages.
  std::ifstream statm(procSelf / "statm");
  int64_t size = 0;
  int64_t resident = 0;
  if (!(statm >> size >> resident) || resident < 0) return -1;
  long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return -1;
  return (resident * pageSize) >> 20;
}

}  // namespace

int64_t threadCount(const fs::path& procSelf) { return countEntries(procSelf / "task"); }

ResourceSample sampleResources(const fs::path& procSelf) {
  return ResourceSample{residentMb(procSelf), countEntries(procSelf / "fd"), threadCount(procSelf)};
}

std::string resourceLine(const ResourceSample& s) {
  return "🧠 zasoby: RSS " + std::to_string(s.rssMb) + " MB, fd " + std::to_string(s.openDescriptors) + ", wątki " +
         std::to_string(s.threads);
}

}  // namespace tavlo
