#pragma once
// The modifier keys and event flags of the client's key modifiers, shared by the injector's keyboard
// and pointer halves.
#include <array>
#include <cstdint>

#include "hostcore/engines/hid_key_map.hpp"
#include "platform/input/system_event.hpp"
#include "protocol/key_modifiers.hpp"

namespace vela::modifier_keys {

using tavlo::EventFlags;

// The modifier keys in the order they are released and pressed.
struct ModifierKey {
  KeyModifiers bit;
  uint16_t keyCode;
  uint16_t usage;
};
constexpr std::array<ModifierKey, 8> kModifierKeys{{
    {KeyModifiers::leftCmd, 0x37, 0xE3},
    {KeyModifiers::rightCmd, 0x36, 0xE7},
    {KeyModifiers::leftShift, 0x38, 0xE1},
    {KeyModifiers::rightShift, 0x3C, 0xE5},
    {KeyModifiers::leftOption, 0x3A, 0xE2},
    {KeyModifiers::rightOption, 0x3D, 0xE6},
    {KeyModifiers::leftCtrl, 0x3B, 0xE0},
    {KeyModifiers::rightCtrl, 0x3E, 0xE4},
}};

inline uint64_t eventFlags(KeyModifiers m) {
  uint64_t flags = 0;
  if (!m.isDisjoint(KeyModifiers::leftCmd | KeyModifiers::rightCmd)) flags |= EventFlags::command;
  if (!m.isDisjoint(KeyModifiers::leftShift | KeyModifiers::rightShift)) flags |= EventFlags::shift;
  if (!m.isDisjoint(KeyModifiers::leftOption | KeyModifiers::rightOption)) flags |= EventFlags::option;
  if (!m.isDisjoint(KeyModifiers::leftCtrl | KeyModifiers::rightCtrl)) flags |= EventFlags::control;
  if (m.contains(KeyModifiers::capsLock)) flags |= EventFlags::alphaShift;
  if (m.contains(KeyModifiers::fn)) flags |= EventFlags::secondaryFn;
  return flags;
}

// Arrows are function keys of the numeric pad; Home, Page Up, Delete Forward, End and Page Down are
// function keys.
inline uint64_t keyFlags(uint16_t page, uint16_t usage) {
  if (page != HIDKeyMap::keyboardPage) return 0;
  if (usage >= 0x4F && usage <= 0x52) return EventFlags::secondaryFn | EventFlags::numericPad;
  if (usage >= 0x4A && usage <= 0x4E) return EventFlags::secondaryFn;
  return 0;
}

}  // namespace vela::modifier_keys
