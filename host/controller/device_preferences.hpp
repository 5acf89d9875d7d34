#pragma once
// The per-device memories of the display scale and of force-1x in the user defaults, as a session asks
// for them when its client's hello names the device. Read on the session's threads: the store guards
// itself.
#include <string>

#include "platform/runtime/json_store.hpp"

namespace tavlo {

namespace SettingsKey {
inline constexpr const char* scaleByDevice = "tl.scaleByDevice";
inline constexpr const char* force1xByDevice = "tl.force1xByDevice";
}  // namespace SettingsKey

// The number under the device in "tl.scaleByDevice", else "tl.scale", else 1.0; clamped to 1.0…2.0.
double deviceScale(const JsonStore& defaults, const std::string& deviceKey);
// The Bool under the device in "tl.force1xByDevice", else "tl.force1x", else false; or `extra` (what
// the session itself asks for).
bool deviceForce1x(const JsonStore& defaults, const std::string& deviceKey, bool extra);

}  // namespace tavlo
