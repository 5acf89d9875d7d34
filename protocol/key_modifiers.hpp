#pragma once
// The modifier keys held during a key or button event; left and right keys are distinct. Bits above
// fn have no member and travel through unchanged.
#include <cstdint>

#include "protocol/option_set.hpp"

namespace vela {

struct KeyModifiers : OptionSet<KeyModifiers, uint32_t> {
  using OptionSet::OptionSet;
  static const KeyModifiers leftCtrl, leftShift, leftOption, leftCmd;
  static const KeyModifiers rightCtrl, rightShift, rightOption, rightCmd;
  static const KeyModifiers capsLock, fn;
};

inline constexpr KeyModifiers KeyModifiers::leftCtrl{0x001};
inline constexpr KeyModifiers KeyModifiers::leftShift{0x002};
inline constexpr KeyModifiers KeyModifiers::leftOption{0x004};
inline constexpr KeyModifiers KeyModifiers::leftCmd{0x008};
inline constexpr KeyModifiers KeyModifiers::rightCtrl{0x010};
inline constexpr KeyModifiers KeyModifiers::rightShift{0x020};
inline constexpr KeyModifiers KeyModifiers::rightOption{0x040};
inline constexpr KeyModifiers KeyModifiers::rightCmd{0x080};
inline constexpr KeyModifiers KeyModifiers::capsLock{0x100};
inline constexpr KeyModifiers KeyModifiers::fn{0x200};

}  // namespace vela
