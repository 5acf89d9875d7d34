#pragma once
// Session state: input intake and the host shortcuts. Guarded by the session mutex.
#include <cstdint>
#include <map>

#include "hostcore/session/host_shortcut.hpp"

namespace vela {

struct InputState {
  int64_t inputEventsSeen = 0;
  int64_t moveEventsSeen = 0;
  uint64_t lastActivityNoteUs = 0;
  std::map<uint16_t, uint8_t> shortcutKeysDown;
  bool scaleArmed = false;
  bool scaleReqCtrl = false;
  bool scaleReqOpt = false;
  bool scaleReqCmd = false;
  bool scaleReqShift = false;
  HostShortcut shortcutScaleUp = HostShortcut::withControlOptionCommand(0x2E);    // =
  HostShortcut shortcutScaleDown = HostShortcut::withControlOptionCommand(0x2D);  // -
  HostShortcut shortcutDiag = HostShortcut::withControlOptionCommand(0x07);       // D
  HostShortcut shortcutHiDPI = HostShortcut::withControlOptionCommand(0x0B);      // H
};

}  // namespace vela
