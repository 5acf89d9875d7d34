#pragma once
// Keys of the USB HID keyboard page (0x07) as the client sends them, independent of any layout:
// their virtual key codes (the numbering the injector's events use), the way back for the shortcut
// recorder, and short labels for shortcut texts. Constant tables; lookups may run on any thread.
#include <cstdint>
#include <optional>
#include <string>

namespace vela {

class HIDKeyMap {
 public:
  HIDKeyMap() = delete;

  static constexpr uint16_t keyboardPage = 0x07;

  // The key code of a usage on the keyboard page; empty for other pages and unmapped usages (keypad,
  // Non-US keys, Print Screen, Scroll Lock, Pause, and everything above 0x65 but the modifiers).
  static std::optional<uint16_t> keyCode(uint16_t page, uint16_t usage);
  // The usage of a key code; empty for the modifier keys' codes and for codes not in the table.
  static std::optional<uint16_t> hidUsage(uint16_t keyCode);
  // "Enter", "Spacja", "A", "7", "F12", … or "0x%02X" of the usage when it has no label.
  static std::string label(uint16_t usage);
};

}  // namespace vela
