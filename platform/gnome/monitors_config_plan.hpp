#pragma once
// The layout handed to mutter's ApplyMonitorsConfig after a batch of changes to the current one:
// monitors switched on or off, moved, or given another scale. Mutter takes only a complete layout
// whose logical monitors neither overlap nor float apart, with exactly one primary and the top-left
// corner at (0, 0); the changes a caller asks for (placing a display at the origin while another is
// still there, switching off the middle one of three) are turned into such a layout here.
//
// Pure: tests check the layouts without a compositor.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/gnome/mutter_display_state.hpp"

namespace tavlo {

// One change, to the monitor on `connector`.
struct MonitorChange {
  enum class Kind { enable, disable, origin, scale };
  Kind kind = Kind::origin;
  std::string connector;
  int64_t x = 0;
  int64_t y = 0;
  double scale = 1;
};

// How a monitor was shown when last seen on, so that switching it on again puts it back.
struct RememberedPlacement {
  std::string modeId;
  double scale = 1;
  uint32_t transform = 0;
  int64_t x = 0;
  int64_t y = 0;
};

struct PlannedLogicalMonitor {
  int64_t x = 0;
  int64_t y = 0;
  double scale = 1;
  uint32_t transform = 0;
  bool primary = false;
  std::vector<std::pair<std::string, std::string>> monitors;  // connector, mode id
};

struct MonitorsConfigPlan {
  std::vector<PlannedLogicalMonitor> logicalMonitors;
};

// The layout after `changes`, in order; empty, with why in `error`, when no monitor would stay on or a
// change names a monitor mutter does not list.
std::optional<MonitorsConfigPlan> planMonitorsConfig(const MutterDisplayState& state,
                                                     const std::vector<MonitorChange>& changes,
                                                     const std::map<std::string, RememberedPlacement>& remembered,
                                                     std::string* error = nullptr);

}  // namespace tavlo
