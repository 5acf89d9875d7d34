#pragma once
// Mutter's monitor layout as org.gnome.Mutter.DisplayConfig GetCurrentState reports it: the monitors
// (switched on or not) with their modes, and the logical monitors that place them. Plain values read
// from a reply; a reply of another shape reads as an empty state.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/gnome/bus_value.hpp"

namespace tavlo {

struct MutterMode {
  std::string id;
  int64_t width = 0;  // pixels
  int64_t height = 0;
  double refreshRate = 0;
  std::vector<double> supportedScales;
  bool current = false;
  bool preferred = false;
};

struct MutterMonitor {
  std::string connector;
  std::string vendor;
  std::string product;
  std::string serial;
  std::vector<MutterMode> modes;

  const MutterMode* currentMode() const;
  const MutterMode* preferredMode() const;  // the preferred one, else the first
  const MutterMode* mode(const std::string& id) const;
};

struct MutterLogicalMonitor {
  int64_t x = 0;
  int64_t y = 0;
  double scale = 1;
  uint32_t transform = 0;  // 0 normal, 1 90°, 2 180°, 3 270°, 4–7 the same flipped
  bool primary = false;
  std::vector<std::string> connectors;
};

// Where logical monitors are placed: in logical pixels (a scale-2 monitor of 2560×1440 pixels takes
// 1280×720) or in physical ones (it takes 2560×1440).
enum class MutterLayoutMode : uint32_t { logical = 1, physical = 2 };

struct MutterDisplayState {
  uint32_t serial = 0;
  std::vector<MutterMonitor> monitors;
  std::vector<MutterLogicalMonitor> logicalMonitors;
  MutterLayoutMode layoutMode = MutterLayoutMode::physical;

  // From GetCurrentState's reply.
  static MutterDisplayState read(const std::vector<BusValue>& reply);

  const MutterMonitor* monitor(const std::string& connector) const;
  // The logical monitor that shows the connector; null while it is switched off.
  const MutterLogicalMonitor* logicalMonitorOf(const std::string& connector) const;
  // The size a logical monitor takes in the layout, from its first monitor's current mode.
  std::optional<std::pair<int64_t, int64_t>> layoutSize(const MutterLogicalMonitor& logical) const;
  // The size one of these modes takes at that scale and rotation.
  std::pair<int64_t, int64_t> layoutSize(const MutterMode& mode, double scale, uint32_t transform) const;
};

}  // namespace tavlo
