#include "host/app/ui/menu_model.hpp"

namespace tavlo::ui {

std::vector<MenuEntry> menuEntries(const MenuState& s) {
  std::vector<MenuEntry> entries;
  // Scaling only matters to clients whose display is scaled by the host (every one but a computer).
  if (s.clientConnected && s.clientPlatform != vela::Platform::mac) {
    entries.push_back({MenuEntryKind::scaleSlider, "", "", false});
  }
  // Unsigned difference: a click stamp from the future reads as long ago, not as recent.
  bool recentAltClick = s.lastOptionClickNs != 0 && s.nowNs - s.lastOptionClickNs < optionClickWindowNs;
  if (s.altHeld || recentAltClick || s.diagnosticsPanelVisible) {
    entries.push_back({MenuEntryKind::diagnostics, "Diagnostics (HUD)", "", s.diagnosticsWanted});
  }
  if (s.inputBlocked) {
    entries.push_back(
        {MenuEntryKind::accessibilityWarning, "⚠️ No Accessibility — mouse/keyboard won't work", "", false});
  }
  entries.push_back({MenuEntryKind::separator, "", "", false});
  entries.push_back({MenuEntryKind::settings, "Settings…", "Ctrl+,", false});
  entries.push_back({MenuEntryKind::quit, "Quit", "Ctrl+Q", false});
  return entries;
}

std::optional<std::string> disconnectChipIcon(bool clientConnected, std::optional<vela::Platform> platform) {
  if (!clientConnected || platform == vela::Platform::vision) return std::nullopt;
  if (!platform) return "video-display";
  switch (*platform) {
    case vela::Platform::mac: return "computer";
    case vela::Platform::iPhone: return "phone";
    case vela::Platform::iPad: return "tablet";
    case vela::Platform::vision: break;
  }
  return "video-display";
}

}  // namespace tavlo::ui
