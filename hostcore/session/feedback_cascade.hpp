#pragma once
// The cascade: when the link cannot carry full quality (keyframes too heavy for the rate, the session
// still settling, or pressure from the governor, the quantiser or overshoot), the frame rate comes down
// first and then the detail (the soft resolution), by how far the available rate falls short of what
// full quality needs. Engaged at once, released 4 s after the last holding condition; targets move down
// at once and back up in small, spaced steps. Pure logic over the session's geometry; the caller holds
// the session mutex and writes the log lines the result asks for.
#include <cstdint>

#include "hostcore/session/geometry_state.hpp"

namespace vela {

struct CascadeTargets {
  int64_t fps = 60;
  int64_t permille = 1000;
  int64_t stage = 0;
};

// Frame rate, detail and stage for a deficit d (0…1) at a motion average (0…1).
CascadeTargets cascadeTargets(double deficit, double motionEwma);

struct CascadeInput {
  uint64_t nowUs = 0;
  double pressure = 0;          // max(overshoot, governor pressure, quantiser pressure)
  int64_t applied = 0;          // applied bitrate, bit/s
  int64_t provenBps = 0;
  int64_t ceilingBps = 0;
  double rxEwmaSlow = 0;
  double lossShare = 0;         // the slow loss average the shrink uses (residual or raw)
  bool lossShrinkEnabled = true;
  double lossShrinkGain = 1.5;
  int64_t lastIdrBytes = 0;
  double keyframeIntervalSec = 1;
  bool chronicOpen = false;
};

struct CascadeOutcome {
  CascadeTargets targets;
  int64_t deficitPct = 0;
  bool logStage = false;    // "🪜 kaskada etap …"
  bool softChanged = false; // "🫧 miękka rozdzielczość …"
  bool fpsChanged = false;  // "🎞 fps …"
};

// Moves the soft resolution and the soft frame rate toward the targets: a drop of at least 100 ‰ or
// 10 fps applies at once, a rise goes by at most 50 ‰ or 5 fps and only 0.7 s after the previous rise.
void stepSoftTargets(GeometryState& g, const CascadeTargets& targets, uint64_t nowUs, bool& softChanged,
                     bool& fpsChanged);

// Runs one feedback's cascade step on the geometry fields and the keyframe-cost average.
CascadeOutcome runCascade(GeometryState& g, double& kfOverEwma, const CascadeInput& in);

}  // namespace vela
