#pragma once
// Which release a program is: the version people read and the build number that orders updates. Both
// come from the build (the top-level CMakeLists.txt) and are stamped into the program's file, where the
// publishing tool reads them, so that what a release announces is what its program runs as.
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

struct HostRelease {
  std::string version;
  std::string build;  // a whole number from 1 up
  bool operator==(const HostRelease&) const = default;
};

// This program's own release.
const HostRelease& runningRelease();

// The release stamped into a program file; none when it carries no stamp, or stamps that disagree.
std::optional<HostRelease> readReleaseStamp(ByteView program);

// The stamp of `release` as a program carries it.
std::string releaseStamp(const HostRelease& release);

}  // namespace tavlo
