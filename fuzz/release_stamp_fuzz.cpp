// Any bytes as a program file: a stamp read from it names a build number and a version of at most 32
// plain characters, and reading it again from the stamp it renders gives the same release.
#include <cstdint>
#include <cstdlib>

#include "host/update/host_release.hpp"
#include "host/update/update_feed.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto release = tavlo::readReleaseStamp(tavlo::ByteView(data, size));
  if (!release) return 0;
  if (!tavlo::isWholeBuildNumber(release->build) || release->version.empty() || release->version.size() > 32) {
    std::abort();
  }
  if (tavlo::readReleaseStamp(tavlo::toBytes(tavlo::releaseStamp(*release))) != release) std::abort();
  return 0;
}
