#include "host/app/settings/shortcut_keys.hpp"

#include <array>

#include "hostcore/engines/hid_key_map.hpp"
#include "platform/input/hid_evdev_keys.hpp"

namespace tavlo {
namespace {

// Usages from here on are the modifier keys, which are never a shortcut's key.
constexpr uint16_t firstModifierUsage = 0xE0;
// Evdev codes below this cover every key of the usage table.
constexpr size_t evdevCodeLimit = 256;

// Evdev code to usage, built once from the usage table the injector uses the other way round.
const std::array<uint16_t, evdevCodeLimit>& usageByEvdevCode() {
  static const std::array<uint16_t, evdevCodeLimit> table = [] {
    std::array<uint16_t, evdevCodeLimit> byCode{};
    for (uint16_t usage = 1; usage < firstModifierUsage; ++usage) {
      const HidEvdevKey* key = hidEvdevKey(usage);
      if (key && key->evdevCode < evdevCodeLimit) byCode[key->evdevCode] = usage;
    }
    return byCode;
  }();
  return table;
}

}  // namespace

std::optional<uint16_t> shortcutUsageForXKeycode(uint32_t xKeycode) {
  if (xKeycode < kEvdevKeycodeOffset || xKeycode - kEvdevKeycodeOffset >= evdevCodeLimit) return std::nullopt;
  const uint16_t usage = usageByEvdevCode()[xKeycode - kEvdevKeycodeOffset];
  if (usage == 0 || !vela::HIDKeyMap::keyCode(vela::HIDKeyMap::keyboardPage, usage)) return std::nullopt;
  return usage;
}

std::string shortcutText(const vela::HostShortcut& shortcut) {
  std::string text;
  if (shortcut.ctrl) text += "⌃";
  if (shortcut.opt) text += "⌥";
  if (shortcut.shift) text += "⇧";
  if (shortcut.cmd) text += "⌘";
  return text + vela::HIDKeyMap::label(shortcut.usage);
}

}  // namespace tavlo
