#pragma once
// Keyboard and text input on the reliable-input channel.
#include <cstdint>
#include <string>

#include "protocol/key_modifiers.hpp"
#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

// One key going down or up, named by its USB HID usage (18 bytes). No field is range-checked.
struct KeyEvent {
  bool down = false;
  uint16_t hidUsagePage = 0;
  uint16_t hidUsage = 0;
  KeyModifiers modifiers;
  uint64_t timestampUs = 0;  // the client's event time

  static void fields(auto& r, auto& io) {
    io(r.down, wire::reserved, r.hidUsagePage, r.hidUsage, r.modifiers, r.timestampUs);
  }
  VELA_WIRE_RECORD(KeyEvent, Channel::inputReliable, InputReliableType::key);
};

// A piece of text to be typed as a whole (cut to 65,535 UTF-8 bytes on the wire).
struct TextInput {
  std::string text;

  static void fields(auto& r, auto& io) { io(wire::str16(r.text)); }
  VELA_WIRE_RECORD(TextInput, Channel::inputReliable, InputReliableType::text);
};

}  // namespace vela
