#include "hostcore/session/host_shortcut_matcher.hpp"

#include <array>
#include <utility>

namespace vela {

namespace {

struct HeldModifiers {
  bool ctrl, opt, cmd, shift;
};

// Left or right counts the same; caps lock and fn play no part in a shortcut.
HeldModifiers heldModifiers(KeyModifiers m) {
  auto either = [m](KeyModifiers left, KeyModifiers right) { return m.contains(left) || m.contains(right); };
  return {either(KeyModifiers::leftCtrl, KeyModifiers::rightCtrl),
          either(KeyModifiers::leftOption, KeyModifiers::rightOption),
          either(KeyModifiers::leftCmd, KeyModifiers::rightCmd),
          either(KeyModifiers::leftShift, KeyModifiers::rightShift)};
}

}  // namespace

ShortcutOutcome interceptHostShortcut(InputState& input, const InputEvent& event) {
  ShortcutOutcome out;
  const KeyEvent* key = event.as<KeyEvent>();
  if (!key || key->hidUsagePage != keyboardUsagePage) return out;
  HeldModifiers held = heldModifiers(key->modifiers);

  // Every key event of the page is a chance to see the armed modifiers released, their own releases
  // included.
  if (input.scaleArmed) {
    bool stillHeld = (input.scaleReqCtrl && held.ctrl) || (input.scaleReqOpt && held.opt) ||
                     (input.scaleReqCmd && held.cmd) || (input.scaleReqShift && held.shift);
    if (!stillHeld) {
      input.scaleArmed = false;
      out.scaleCommit = true;
    }
  }

  if (key->down) {
    HostShortcut pressed{key->hidUsage, held.ctrl, held.opt, held.cmd, held.shift};
    const std::array<std::pair<const HostShortcut*, HostAction>, 4> table{{
        {&input.shortcutScaleUp, HostAction::scaleUp},
        {&input.shortcutScaleDown, HostAction::scaleDown},
        {&input.shortcutDiag, HostAction::diagnostics},
        {&input.shortcutHiDPI, HostAction::hiDPI},
    }};
    for (const auto& [shortcut, action] : table) {
      if (!(*shortcut == pressed)) continue;
      if (action == HostAction::scaleUp || action == HostAction::scaleDown) {
        input.scaleArmed = true;
        input.scaleReqCtrl = held.ctrl;
        input.scaleReqOpt = held.opt;
        input.scaleReqCmd = held.cmd;
        input.scaleReqShift = held.shift;
      }
      input.shortcutKeysDown[key->hidUsage] = static_cast<uint8_t>(action);
      out.consumed = true;
      out.action = action;
      out.actionDown = true;
      return out;
    }
    return out;
  }

  // A key-up is withheld only when its down was: a key pressed before its shortcut changed is posted.
  auto it = input.shortcutKeysDown.find(key->hidUsage);
  if (it == input.shortcutKeysDown.end()) return out;
  out.consumed = true;
  out.action = static_cast<HostAction>(it->second);
  out.actionDown = false;
  input.shortcutKeysDown.erase(it);
  return out;
}

}  // namespace vela
