#include "platform/gnome/mutter_display_state.hpp"

#include <cmath>

namespace tavlo {

const MutterMode* MutterMonitor::currentMode() const {
  for (const auto& m : modes) {
    if (m.current) return &m;
  }
  return nullptr;
}

const MutterMode* MutterMonitor::preferredMode() const {
  for (const auto& m : modes) {
    if (m.preferred) return &m;
  }
  return modes.empty() ? nullptr : &modes.front();
}

const MutterMode* MutterMonitor::mode(const std::string& id) const {
  for (const auto& m : modes) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

MutterDisplayState MutterDisplayState::read(const std::vector<BusValue>& reply) {
  MutterDisplayState state;
  if (reply.size() < 4) return state;
  state.serial = static_cast<uint32_t>(reply[0].asInt());
  for (const auto& entry : reply[1].items) {
    MutterMonitor monitor;
    const BusValue& spec = entry.at(0);
    monitor.connector = spec.at(0).asText();
    monitor.vendor = spec.at(1).asText();
    monitor.product = spec.at(2).asText();
    monitor.serial = spec.at(3).asText();
    if (monitor.connector.empty()) continue;
    for (const auto& m : entry.at(1).items) {
      MutterMode mode;
      mode.id = m.at(0).asText();
      mode.width = m.at(1).asInt();
      mode.height = m.at(2).asInt();
      mode.refreshRate = m.at(3).asDouble();
      for (const auto& scale : m.at(5).items) mode.supportedScales.push_back(scale.asDouble());
      const BusValue* current = m.at(6).field("is-current");
      const BusValue* preferred = m.at(6).field("is-preferred");
      mode.current = current && current->asBool();
      mode.preferred = preferred && preferred->asBool();
      if (!mode.id.empty() && mode.width > 0 && mode.height > 0) monitor.modes.push_back(std::move(mode));
    }
    state.monitors.push_back(std::move(monitor));
  }
  for (const auto& entry : reply[2].items) {
    MutterLogicalMonitor logical;
    logical.x = entry.at(0).asInt();
    logical.y = entry.at(1).asInt();
    logical.scale = entry.at(2).asDouble(1);
    if (!(logical.scale > 0) || !std::isfinite(logical.scale)) logical.scale = 1;
    logical.transform = static_cast<uint32_t>(entry.at(3).asInt());
    logical.primary = entry.at(4).asBool();
    for (const auto& spec : entry.at(5).items) logical.connectors.push_back(spec.at(0).asText());
    if (!logical.connectors.empty()) state.logicalMonitors.push_back(std::move(logical));
  }
  if (const BusValue* mode = reply[3].field("layout-mode"); mode && mode->asInt() == 1) {
    state.layoutMode = MutterLayoutMode::logical;
  }
  return state;
}

const MutterMonitor* MutterDisplayState::monitor(const std::string& connector) const {
  for (const auto& m : monitors) {
    if (m.connector == connector) return &m;
  }
  return nullptr;
}

const MutterLogicalMonitor* MutterDisplayState::logicalMonitorOf(const std::string& connector) const {
  for (const auto& logical : logicalMonitors) {
    for (const auto& c : logical.connectors) {
      if (c == connector) return &logical;
    }
  }
  return nullptr;
}

std::pair<int64_t, int64_t> MutterDisplayState::layoutSize(const MutterMode& mode, double scale,
                                                           uint32_t transform) const {
  int64_t w = mode.width, h = mode.height;
  if (transform % 2 == 1) std::swap(w, h);
  if (layoutMode == MutterLayoutMode::logical && scale > 0) {
    w = static_cast<int64_t>(std::lround(static_cast<double>(w) / scale));
    h = static_cast<int64_t>(std::lround(static_cast<double>(h) / scale));
  }
  return {w, h};
}

std::optional<std::pair<int64_t, int64_t>> MutterDisplayState::layoutSize(const MutterLogicalMonitor& logical) const {
  for (const auto& connector : logical.connectors) {
    const MutterMonitor* m = monitor(connector);
    const MutterMode* mode = m ? m->currentMode() : nullptr;
    if (mode) return layoutSize(*mode, logical.scale, logical.transform);
  }
  return std::nullopt;
}

}  // namespace tavlo
