#include "host/controller/device_preferences.hpp"

#include <algorithm>
#include <cmath>

#include "host/controller/controller_settings.hpp"

namespace tavlo {

namespace {

// The device's entry in a dictionary of the defaults; none when the key, the dictionary or the entry
// is missing.
std::optional<JsonValue> deviceEntry(const JsonStore& defaults, const char* dictionaryKey,
                                     const std::string& deviceKey) {
  std::optional<JsonValue> dictionary = defaults.getValue(dictionaryKey);
  if (!dictionary || !dictionary->is_object()) return std::nullopt;
  auto entry = dictionary->find(deviceKey);
  if (entry == dictionary->end()) return std::nullopt;
  return *entry;
}

}  // namespace

double deviceScale(const JsonStore& defaults, const std::string& deviceKey) {
  double value = 1.0;
  std::optional<JsonValue> entry = deviceEntry(defaults, SettingsKey::scaleByDevice, deviceKey);
  if (entry && entry->is_number()) {
    value = entry->get<double>();
  } else if (auto global = defaults.getDouble(SettingsKey::scale)) {
    value = *global;
  }
  if (!std::isfinite(value)) value = 1.0;
  return std::clamp(value, ControllerSettings::minScale, ControllerSettings::maxScale);
}

bool deviceForce1x(const JsonStore& defaults, const std::string& deviceKey, bool extra) {
  std::optional<JsonValue> entry = deviceEntry(defaults, SettingsKey::force1xByDevice, deviceKey);
  const bool stored =
      entry && entry->is_boolean() ? entry->get<bool>() : defaults.getBool(SettingsKey::force1x).value_or(false);
  return stored || extra;
}

}  // namespace tavlo
