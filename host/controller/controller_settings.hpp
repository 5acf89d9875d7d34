#pragma once
// The user defaults the host controller reads at start: keys, defaults and ranges. A key is used only
// when it holds a value of its type; a missing key or a value of another type gives the default, and
// values outside the range are clamped into it.
#include <cstdint>
#include <string>

#include "hostcore/session/host_shortcut.hpp"
#include "platform/runtime/json_store.hpp"

namespace tavlo {

namespace SettingsKey {
inline constexpr const char* scale = "tl.scale";
inline constexpr const char* kfAdaptive = "tl.kfAdaptive";
inline constexpr const char* kfFixedSec = "tl.kfFixedSec";
inline constexpr const char* force1x = "tl.force1x";
inline constexpr const char* cursorVisible = "tl.cursorVisible";
inline constexpr const char* bufferMs = "tl.bufferMs";
inline constexpr const char* wireCapKbps = "tl.wireCapKbps";
inline constexpr const char* hqDownscale = "tl.hqDownscale";
inline constexpr const char* mbb = "tl.mbb";
inline constexpr const char* allowLAN = "tl.allowLAN";
inline constexpr const char* allowVPN = "tl.allowVPN";
inline constexpr const char* allowNAT = "tl.allowNAT";
inline constexpr const char* allowRelay = "tl.allowRelay";
inline constexpr const char* clientForcePath = "tl.clientForcePath";
inline constexpr const char* useNATPMP = "tl.useNATPMP";
inline constexpr const char* useUPnP = "tl.useUPnP";
inline constexpr const char* natOnDemand = "tl.natOnDemand";
inline constexpr const char* shortcutScaleUp = "tl.sc.scaleUp";
inline constexpr const char* shortcutScaleDown = "tl.sc.scaleDown";
inline constexpr const char* shortcutDiag = "tl.sc.diag";
}  // namespace SettingsKey

struct ControllerSettings {
  // The display scale: 1.0 to 2.0.
  static constexpr double minScale = 1.0;
  static constexpr double maxScale = 2.0;
  // The fixed keyframe interval as read at start, in seconds.
  static constexpr double minKfFixedSecAtStart = 0.2;
  static constexpr double maxKfFixedSec = 10.0;
  // The client's smoothness buffer, in milliseconds.
  static constexpr int64_t maxBufferMs = 1000;

  double scale = 1.0;
  bool kfAdaptive = true;
  double kfFixedSec = 3.0;
  bool force1x = false;
  bool cursorVisible = false;
  int64_t bufferMs = 200;
  int64_t maxBandwidthKbps = 0;  // 0: no limit
  bool hqDownscale = true;
  bool mbbEnabled = true;
  bool allowLAN = true;
  bool allowRelay = true;
  std::string clientForcePath = "auto";
  bool useNATPMP = true;
  bool useUPnP = true;
  bool allowVPN = true;
  bool allowNAT = true;
  // No port mapping until a client asks for a session through the relay (read once per process).
  bool natOnDemand = true;

  // The host shortcuts: Control+Option+Command with "=", "-" and "D".
  vela::HostShortcut scaleUpShortcut = vela::HostShortcut::withControlOptionCommand(0x2E);
  vela::HostShortcut scaleDownShortcut = vela::HostShortcut::withControlOptionCommand(0x2D);
  vela::HostShortcut diagShortcut = vela::HostShortcut::withControlOptionCommand(0x07);

  static ControllerSettings read(const JsonStore& defaults);

  // A shortcut's stored form: bits 0–15 the key's usage, bit 16 control, 17 option, 18 command,
  // 19 shift; unpacking ignores every other bit.
  static int64_t packShortcut(const vela::HostShortcut& shortcut);
  static vela::HostShortcut unpackShortcut(int64_t packed);
};

}  // namespace tavlo
