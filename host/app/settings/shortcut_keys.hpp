#pragma once
// How the shortcut recorder reads a key: the key's place on the keyboard (its X keycode, evdev code + 8
// on the evdev keycode set that X servers on Linux use) becomes the HID usage the client's keys arrive
// as; the shortcut's text shows the client's modifier symbols and the key map's label.
#include <cstdint>
#include <optional>
#include <string>

#include "hostcore/session/host_shortcut.hpp"

namespace tavlo {

// The keyboard-page usage of an X keycode; empty for modifier keys and for keys the key map does not
// translate (the session could never see them).
std::optional<uint16_t> shortcutUsageForXKeycode(uint32_t xKeycode);

// "⌃⌥⇧⌘" in this order for the modifiers held, then the key's label ("⌃⌥⌘D").
std::string shortcutText(const vela::HostShortcut& shortcut);

}  // namespace tavlo
