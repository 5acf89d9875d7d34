#pragma once
// Mutter's org.gnome.Mutter.DisplayConfig as the display system uses it: the current layout, read
// again only after mutter said it changed (MonitorsChanged) or after our own changes, so that the
// per-frame questions of isolation cost no round trip; and complete layouts applied for this login
// session only (the "temporary" method: mutter's saved configuration is never touched).
//
// Thread-safe.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/gnome/bus_connection.hpp"
#include "platform/gnome/monitors_config_plan.hpp"
#include "platform/gnome/mutter_display_state.hpp"

namespace tavlo {

class MutterDisplayConfig {
 public:
  explicit MutterDisplayConfig(std::shared_ptr<BusConnection> bus);
  ~MutterDisplayConfig();
  MutterDisplayConfig(const MutterDisplayConfig&) = delete;
  MutterDisplayConfig& operator=(const MutterDisplayConfig&) = delete;

  // The layout as last read; read now when it may have changed since. `fresh` reads it in any case.
  // An empty state (and `error`) when mutter does not answer.
  MutterDisplayState state(bool fresh = false, std::string* error = nullptr);
  // Applies a complete layout for this login session; false with mutter's answer in `error`.
  bool apply(uint32_t serial, const MonitorsConfigPlan& plan, std::string* error = nullptr);

 private:
  const std::shared_ptr<BusConnection> bus_;
  uint64_t subscription_ = 0;

  std::mutex mutex_;  // guards the fields below
  MutterDisplayState cached_;
  bool stale_ = true;
  uint64_t readsBegun_ = 0;  // reads of the state, numbered as they begin
  uint64_t readStored_ = 0;  // the read whose state is cached_
};

}  // namespace tavlo
