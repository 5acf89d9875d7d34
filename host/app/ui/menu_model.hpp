#pragma once
// What the status menu holds when it opens, as a plain list, so that the order and the conditions can
// be checked without a window system. The tray application turns each entry into a menu item.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/session_messages.hpp"

namespace tavlo::ui {

enum class MenuEntryKind { scaleSlider, diagnostics, accessibilityWarning, separator, settings, quit };

struct MenuEntry {
  MenuEntryKind kind;
  std::string title;     // empty for the slider and the separator
  std::string shortcut;  // "Ctrl+," style, empty for none
  bool checked = false;  // the diagnostics item's check mark
};

struct MenuState {
  bool clientConnected = false;
  std::optional<vela::Platform> clientPlatform;
  bool inputBlocked = false;
  bool diagnosticsWanted = false;        // the "tl.diagHUD" preference
  bool altHeld = false;                  // the Alt key (this desktop's Option) is held as the menu opens
  uint64_t nowNs = 0;                    // uptime now and of the client's last click with Alt
  uint64_t lastOptionClickNs = 0;
  bool diagnosticsPanelVisible = false;
};

// The client's clicks with Alt within this many nanoseconds offer the diagnostics item too.
inline constexpr uint64_t optionClickWindowNs = 3'000'000'000;

std::vector<MenuEntry> menuEntries(const MenuState& state);

// The symbol of the client's device on the disconnect chip (a freedesktop icon name); none for a
// headset client, which gets no chip.
std::optional<std::string> disconnectChipIcon(bool clientConnected, std::optional<vela::Platform> platform);

}  // namespace tavlo::ui
