#include "platform/gnome/monitors_config_plan.hpp"

#include <algorithm>
#include <limits>

namespace tavlo {
namespace {

struct Entry {
  PlannedLogicalMonitor logical;
  int64_t width = 0;
  int64_t height = 0;
  bool placedByCaller = false;  // its origin was asked for: others move out of its way
  size_t placedAt = 0;          // which change placed it: the earlier placement wins
  bool wasPrimary = false;
};

bool overlaps(const Entry& a, const Entry& b) {
  return a.logical.x < b.logical.x + b.width && b.logical.x < a.logical.x + a.width &&
         a.logical.y < b.logical.y + b.height && b.logical.y < a.logical.y + a.height;
}

// Sharing a stretch of edge (mutter's test of adjacency).
bool adjacent(const Entry& a, const Entry& b) {
  const int64_t ax2 = a.logical.x + a.width, ay2 = a.logical.y + a.height;
  const int64_t bx2 = b.logical.x + b.width, by2 = b.logical.y + b.height;
  const bool verticalEdge = (ax2 == b.logical.x || bx2 == a.logical.x) && a.logical.y < by2 && b.logical.y < ay2;
  const bool horizontalEdge = (ay2 == b.logical.y || by2 == a.logical.y) && a.logical.x < bx2 && b.logical.x < ax2;
  return verticalEdge || horizontalEdge;
}

// Places `entry` against the right edge of the entry reaching furthest right among `others`.
void placeAtRightEdge(Entry& entry, const std::vector<const Entry*>& others) {
  const Entry* rightmost = nullptr;
  for (const Entry* other : others) {
    if (!rightmost || other->logical.x + other->width > rightmost->logical.x + rightmost->width) rightmost = other;
  }
  if (!rightmost) return;
  entry.logical.x = rightmost->logical.x + rightmost->width;
  entry.logical.y = rightmost->logical.y;
}

void resize(Entry& entry, const MutterDisplayState& state) {
  entry.width = entry.height = 1;
  if (entry.logical.monitors.empty()) return;
  const MutterMonitor* monitor = state.monitor(entry.logical.monitors.front().first);
  const MutterMode* mode = monitor ? monitor->mode(entry.logical.monitors.front().second) : nullptr;
  if (!mode) return;
  auto [w, h] = state.layoutSize(*mode, entry.logical.scale, entry.logical.transform);
  entry.width = std::max<int64_t>(w, 1);
  entry.height = std::max<int64_t>(h, 1);
}

Entry* entryOf(std::vector<Entry>& entries, const std::string& connector) {
  for (auto& entry : entries) {
    for (const auto& [c, mode] : entry.logical.monitors) {
      if (c == connector) return &entry;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<MonitorsConfigPlan> planMonitorsConfig(const MutterDisplayState& state,
                                                     const std::vector<MonitorChange>& changes,
                                                     const std::map<std::string, RememberedPlacement>& remembered,
                                                     std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<MonitorsConfigPlan> {
    if (error) *error = why;
    return std::nullopt;
  };
  std::vector<Entry> entries;
  for (const auto& logical : state.logicalMonitors) {
    Entry entry;
    entry.logical.x = logical.x;
    entry.logical.y = logical.y;
    entry.logical.scale = logical.scale;
    entry.logical.transform = logical.transform;
    entry.wasPrimary = logical.primary;
    for (const auto& connector : logical.connectors) {
      const MutterMonitor* monitor = state.monitor(connector);
      const MutterMode* mode = monitor ? monitor->currentMode() : nullptr;
      if (mode) entry.logical.monitors.emplace_back(connector, mode->id);
    }
    if (!entry.logical.monitors.empty()) entries.push_back(std::move(entry));
  }

  for (size_t index = 0; index < changes.size(); ++index) {
    const MonitorChange& change = changes[index];
    const MutterMonitor* monitor = state.monitor(change.connector);
    if (!monitor) return fail("no monitor " + change.connector);
    Entry* entry = entryOf(entries, change.connector);
    switch (change.kind) {
      case MonitorChange::Kind::disable:
        if (!entry) break;
        std::erase_if(entry->logical.monitors, [&](const auto& m) { return m.first == change.connector; });
        std::erase_if(entries, [](const Entry& e) { return e.logical.monitors.empty(); });
        break;
      case MonitorChange::Kind::enable: {
        if (entry) break;
        Entry added;
        const MutterMode* mode = nullptr;
        if (auto it = remembered.find(change.connector); it != remembered.end()) {
          mode = monitor->mode(it->second.modeId);
          added.logical.scale = it->second.scale;
          added.logical.transform = it->second.transform;
          added.logical.x = it->second.x;
          added.logical.y = it->second.y;
        }
        if (!mode) mode = monitor->preferredMode();
        if (!mode) return fail("monitor " + change.connector + " lists no mode");
        added.logical.monitors.emplace_back(change.connector, mode->id);
        entries.push_back(std::move(added));
        break;
      }
      case MonitorChange::Kind::origin:
        if (!entry) break;
        entry->logical.x = change.x;
        entry->logical.y = change.y;
        entry->placedByCaller = true;
        entry->placedAt = index;
        break;
      case MonitorChange::Kind::scale:
        if (entry && change.scale > 0) entry->logical.scale = change.scale;
        break;
    }
  }
  if (entries.empty()) return fail("no monitor would stay on");
  for (auto& entry : entries) resize(entry, state);

  // The primary: the one the caller put at the origin, else the one that was primary, else the
  // first. The main display of the desktop is the one at the origin.
  Entry* primary = nullptr;
  for (auto& entry : entries) {
    if (entry.placedByCaller && entry.logical.x == 0 && entry.logical.y == 0) primary = &entry;
  }
  for (auto& entry : entries) {
    if (!primary && entry.wasPrimary) primary = &entry;
  }
  if (!primary) primary = &entries.front();
  primary->logical.primary = true;

  // Those placed by the caller come first and stay where asked; any monitor that lands on one already
  // placed moves to the right edge of the layout.
  std::vector<Entry*> order;
  for (auto& entry : entries) order.push_back(&entry);
  std::stable_sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
    if (a->placedByCaller != b->placedByCaller) return a->placedByCaller;
    return a->placedByCaller && a->placedAt < b->placedAt;
  });
  std::vector<const Entry*> placed;
  for (Entry* entry : order) {
    const bool collides = std::any_of(placed.begin(), placed.end(), [&](const Entry* p) { return overlaps(*entry, *p); });
    if (collides) placeAtRightEdge(*entry, placed);
    placed.push_back(entry);
  }
  // Every logical monitor must touch the rest: one cut off (its neighbour switched off) joins the
  // group of the primary at its right edge.
  for (size_t round = 0; round < entries.size(); ++round) {
    std::vector<bool> joined(entries.size(), false);
    joined[static_cast<size_t>(primary - entries.data())] = true;
    for (bool grew = true; grew;) {
      grew = false;
      for (size_t i = 0; i < entries.size(); ++i) {
        if (joined[i]) continue;
        for (size_t j = 0; j < entries.size() && !joined[i]; ++j) {
          if (joined[j] && adjacent(entries[i], entries[j])) joined[i] = grew = true;
        }
      }
    }
    auto loose = std::find(joined.begin(), joined.end(), false);
    if (loose == joined.end()) break;
    std::vector<const Entry*> group;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (joined[i]) group.push_back(&entries[i]);
    }
    placeAtRightEdge(entries[static_cast<size_t>(loose - joined.begin())], group);
  }
  // The top-left corner at (0, 0).
  int64_t minX = std::numeric_limits<int64_t>::max(), minY = std::numeric_limits<int64_t>::max();
  for (const auto& entry : entries) {
    minX = std::min(minX, entry.logical.x);
    minY = std::min(minY, entry.logical.y);
  }
  MonitorsConfigPlan plan;
  for (auto& entry : entries) {
    entry.logical.x -= minX;
    entry.logical.y -= minY;
    plan.logicalMonitors.push_back(entry.logical);
  }
  return plan;
}

}  // namespace tavlo
