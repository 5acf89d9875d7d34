#pragma once
// Where each key of the HID keyboard page sits in an X server's keymap, and which keycodes no key
// uses. Keys are found by their XKB names, so the server's keycode set (evdev, xfree86, …) does not
// matter; a server without XKB gets the evdev numbering.
#include <array>
#include <cstdint>
#include <vector>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class XKeycodes {
 public:
  // Asks the server; a key the keymap lacks gets keycode 0.
  static XKeycodes resolve(const XcbConnection& connection);

  // The keycode of the usage's key; 0 when there is none.
  uint8_t forUsage(uint16_t hidUsage) const { return hidUsage < byUsage_.size() ? byUsage_[hidUsage] : 0; }
  bool fromXkbNames() const { return fromXkb_; }

 private:
  std::array<uint8_t, 256> byUsage_{};
  bool fromXkb_ = false;
};

// The core keyboard mapping: how many keysyms each keycode has and which keycodes have none.
struct XKeyboardMapping {
  uint8_t keysymsPerKeycode = 0;
  std::vector<uint8_t> unusedKeycodes;  // highest first
  // The first keysym of each keycode from minKeycode on.
  uint8_t minKeycode = 0;
  std::vector<uint32_t> firstKeysyms;

  static XKeyboardMapping query(const XcbConnection& connection);
  uint32_t firstKeysym(uint8_t keycode) const;
};

}  // namespace tavlo
