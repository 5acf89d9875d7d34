#pragma once
// The physical keys of the HID keyboard page as Linux numbers them (evdev key codes, as the kernel's
// HID driver assigns them) and as XKB names them. A key is found in any X keymap by its XKB name,
// whatever keycode set the server runs; evdev code + 8 is its keycode in the common evdev set.
#include <cstdint>

namespace tavlo {

struct HidEvdevKey {
  uint16_t hidUsage = 0;
  uint16_t evdevCode = 0;
  char xkbName[5] = {};  // "AC01", NUL-terminated
};

// The key of a usage on the keyboard page; nullptr for usages without one here (those the key map
// does not translate either: keypad, Non-US keys, Print Screen, Scroll Lock, Pause, …).
const HidEvdevKey* hidEvdevKey(uint16_t hidUsage);

// Keycodes of the evdev set are the evdev code plus this.
inline constexpr uint16_t kEvdevKeycodeOffset = 8;

}  // namespace tavlo
