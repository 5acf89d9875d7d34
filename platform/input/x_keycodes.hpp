#pragma once
// Where each key of the HID keyboard page sits in an X server's keymap, and which keycodes no key
// uses. Keys are found by their XKB names, so the server's keycode set (evdev, xfree86, …) does not
// matter; a server without XKB gets the evdev numbering.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/x11/xcb_connection.hpp"

namespace tavlo {

class XKeycodes {
 public:
  // Asks the server on a connection of its own: a client that has used XKB no longer receives the
  // core keymap notices the poster watches. A key the keymap lacks gets keycode 0; a server that
  // cannot be reached gives the evdev numbering.
  static XKeycodes resolve(const std::string& display);

  // The keycode of the usage's key; 0 when there is none.
  uint8_t forUsage(uint16_t hidUsage) const { return hidUsage < byUsage_.size() ? byUsage_[hidUsage] : 0; }
  bool fromXkbNames() const { return fromXkb_; }

 private:
  std::array<uint8_t, 256> byUsage_{};
  bool fromXkb_ = false;
};

// The keycodes of the core keyboard mapping that have no keysym at all, highest first.
std::vector<uint8_t> unusedKeycodes(const XcbConnection& connection);

}  // namespace tavlo
