#pragma once
// A host keyboard shortcut: a key of the keyboard page and the four modifiers that must be held with
// it. How the settings persist one is the controller's business; the session holds the record.
#include <cstdint>

namespace vela {

struct HostShortcut {
  uint16_t usage = 0;  // HID usage on the keyboard page 0x07
  bool ctrl = false;
  bool opt = false;
  bool cmd = false;
  bool shift = false;

  // The session's default shortcuts: Control, Option and Command with the key.
  static constexpr HostShortcut withControlOptionCommand(uint16_t usage) { return {usage, true, true, true, false}; }

  friend bool operator==(const HostShortcut&, const HostShortcut&) = default;
};

}  // namespace vela
