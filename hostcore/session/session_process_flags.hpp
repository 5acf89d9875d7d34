#pragma once
// Settings of the session type that hold for the whole process: read once (by the owner, at start-up)
// and handed to every session, so that a change of the user defaults acts only after a restart.
#include <cstdint>

namespace tavlo {
class Settings;
}

namespace vela {

struct SessionProcessFlags {
  // Re-modes of one virtual display after which teardown re-creates it instead of keeping it.
  static constexpr int64_t defaultReModeHealthLimit = 8;

  bool audioHiFi = true;          // "tl.audioHiFi": true when absent or not a Bool
  bool camLadderLegacy = false;   // "tl.camLadderLegacy": false when absent or not a Bool
  int64_t reModeHealthLimit = defaultReModeHealthLimit;

  static SessionProcessFlags read(const tavlo::Settings& settings);
};

}  // namespace vela
