#include "host/controller/service_process.hpp"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "host/controller/instance_lock.hpp"

namespace tavlo {

bool isMainProcessOfUnit(std::string_view unit, const ServiceProcessFacts& facts) {
  if (facts.invocationId == nullptr || facts.invocationId[0] == '\0') return false;
  if (facts.execPid != nullptr) {
    // Inherited by every child the unit's process starts: only the process systemd started matches it.
    const std::string_view text(facts.execPid);
    int32_t pid = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (ec != std::errc() || end != text.data() + text.size() || pid != facts.ownPid) return false;
  }
  return cgroupIsUnit(facts.cgroupText, unit);
}

bool runsAsMainProcessOf(std::string_view unit) {
  std::ifstream in("/proc/self/cgroup");
  std::stringstream cgroup;
  cgroup << in.rdbuf();
  const std::string text = cgroup.str();
  return isMainProcessOfUnit(unit, {.invocationId = std::getenv("INVOCATION_ID"),
                                    .execPid = std::getenv("SYSTEMD_EXEC_PID"),
                                    .ownPid = static_cast<int32_t>(::getpid()),
                                    .cgroupText = text});
}

}  // namespace tavlo
