#pragma once
// The user-default tunables a session reads once, at construction; a change acts on the next session.
// A key that is missing or holds a value of another type gives the default.
#include <cstdint>

namespace tavlo {
class Settings;
}

namespace vela {

struct SessionTunables {
  static constexpr double minEncBudgetPxFps = 100'000'000;  // a stored budget below this is ignored

  double lossShrinkGain = 1.5;                   // "tl.lossShrinkGain"
  bool lossShrinkEnabled = true;                 // "tl.lossShrink"
  bool lossShrinkResidual = true;                // "tl.lossShrinkResidual"
  bool radioTolerantEnabled = true;              // "tl.radioTolerant"
  int64_t kfAmpleMinBps = 5'000'000;             // "tl.kfAmpleMinMbps" × 1,000,000
  bool kfShortOnAmpleEnabled = true;             // "tl.kfShortOnAmple"
  bool fecPropEnabled = true;                    // "tl.fecProp"
  double fecPropGain = 3.0;                      // "tl.fecPropGain"
  double fecPropCeil = 1.0;                      // "tl.fecPropCeil"
  double fecPropFloor = 0.1;                     // "tl.fecPropFloor"
  double fecIdrFloor = 0.33;                     // "tl.fecIdrFloor"
  int64_t kfFecThresh = 191;                     // "tl.kfFecThreshChunks"
  double kfFecRamp = 92.0;                       // "tl.kfFecRampChunks"
  double kfFecMax = 0.08;                        // "tl.kfFecMaxPct" / 100
  uint32_t kfOveruseSuppressFrames = 4;          // "tl.kfOveruseSuppressFrames"
  bool suppressKeyframeOveruse = true;           // "tl.suppressKeyframeOveruse"
  bool delayCutAnchorSaturatedOnly = true;       // "tl.delayCutAnchorSaturatedOnly"
  double sharpMinBppCfg = 0.02;                  // "tl.sharpMinBpp"
  bool dynamicQpEnabled = true;                  // "tl.dynamicQp"
  bool keyframePacingCfg = true;                 // "tl.keyframePacing"
  bool softReliefEnabled = true;                 // "tl.softRelief"
  double softSeedSec = 4.0;                      // "tl.softSeedSec"
  double encBudgetPxFps = 460'000'000;           // "tl.encBudgetPxFps", when at least minEncBudgetPxFps

  // "tl.kfAmpleMinMbps" whose product with 1,000,000 leaves the signed 64-bit range, and
  // "tl.kfOveruseSuppressFrames" outside 0…4,294,967,295, are ignored like a value of another type.
  static SessionTunables read(const tavlo::Settings& settings);
};

}  // namespace vela
