#pragma once
// The user defaults the host controller reads at start: keys, defaults and ranges. A key is used only
// when it holds a value of its type; a missing key or a value of another type gives the default, and
// values outside the range are clamped into it.
#include <cstdint>
#include <string>

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

  static ControllerSettings read(const JsonStore& defaults);
};

}  // namespace tavlo
