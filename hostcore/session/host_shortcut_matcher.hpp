#pragma once
// The host's keyboard shortcuts: which client key events the host keeps for itself (scale up and down,
// the diagnostics panel, HiDPI) instead of posting them, and when an armed scale change is committed
// (once every modifier of its shortcut has been let go, so the user can press the key repeatedly while
// holding them). Pure logic over the session's input state; the caller holds the session mutex and makes
// the calls the outcome names after releasing it.
#include <cstdint>
#include <optional>

#include "hostcore/engines/input_event.hpp"
#include "hostcore/session/input_state.hpp"

namespace vela {

// The action codes onHostAction receives.
enum class HostAction : uint8_t { scaleUp = 1, scaleDown = 2, diagnostics = 3, hiDPI = 4 };

struct ShortcutOutcome {
  bool consumed = false;            // the event goes no further
  bool scaleCommit = false;         // call onScaleCommit
  std::optional<HostAction> action;  // call onHostAction(action, actionDown)
  bool actionDown = false;
};

inline constexpr uint16_t keyboardUsagePage = 0x07;

ShortcutOutcome interceptHostShortcut(InputState& input, const InputEvent& event);

}  // namespace vela
