#pragma once
// Whether this very process is a user unit's main process: what decides whether systemd starts the
// host again after it ends. Read from the process itself, never from whether the unit is enabled: a
// host started by hand while the unit is enabled is started again by nobody.
#include <cstdint>
#include <string_view>

namespace tavlo {

struct ServiceProcessFacts {
  const char* invocationId = nullptr;  // $INVOCATION_ID: systemd started this process for a unit
  const char* execPid = nullptr;       // $SYSTEMD_EXEC_PID: the pid systemd started for it (systemd 248 on)
  int32_t ownPid = 0;
  std::string_view cgroupText;  // /proc/self/cgroup: which unit the process runs in
};

// True when systemd started this process as `unit`'s own process (not a child of it) and it runs in the
// unit's cgroup.
bool isMainProcessOfUnit(std::string_view unit, const ServiceProcessFacts& facts);

// The same for this process, from its environment and /proc/self/cgroup.
bool runsAsMainProcessOf(std::string_view unit);

}  // namespace tavlo
