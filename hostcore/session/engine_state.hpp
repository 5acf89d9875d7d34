#pragma once
// Session state: the engines the session drives and the display it streams. All absent until the hello
// sets them up. Guarded by the session mutex; each engine guards its own inside, and is called only
// after the session mutex is released.
#include <cstdint>
#include <memory>
#include <optional>

#include "hostcore/engines/display_providing.hpp"

namespace vela {

class AudioTapEngine;
class CaptureEngine;
class EncoderEngine;
class InputInjector;

struct EngineState {
  std::shared_ptr<AudioTapEngine> audioTap;
  std::shared_ptr<CaptureEngine> capture;
  std::shared_ptr<EncoderEngine> encoder;
  std::shared_ptr<InputInjector> injector;
  std::optional<ProvidedDisplay> providedDisplay;
  // This session's claim on the shared virtual display (DisplayGate::claimDisplay), 0 without one.
  uint64_t displayClaim = 0;
  // The cursor visibility the owner asked for and not yet applied, and whether a task is applying one:
  // one task at a time applies the latest wish, so quick toggles take effect in the order they were made.
  std::optional<bool> cursorVisibleWanted;
  bool cursorApplying = false;
};

}  // namespace vela
