#pragma once
// The encoder capacity budget: how many pixels per second the encoder is measured to carry, learnt once
// a second from its throughput window, and the frame-rate cap it implies at the coded size. Pure over
// the geometry state; the caller holds the session mutex, persists the budget when told and writes the
// line after release.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostcore/session/geometry_state.hpp"

namespace vela {

struct EncoderCapacity {
  static constexpr double minBudgetPxFps = 2e8;  // the learnt budget stays within these bounds
  static constexpr double maxBudgetPxFps = 2e9;
  static constexpr size_t minSaturatedSamples = 10;  // fewer saturated intervals estimate nothing
  static constexpr double estimateShare = 0.9;       // of the measured saturation capacity
  static constexpr double creepFactor = 1.1;         // a capped, unsaturated budget grows 10 % a second
  static constexpr uint64_t creepAfterSaturationUs = 10'000'000;
  static constexpr uint64_t persistEveryUs = 30'000'000;
  static constexpr double minWindowSec = 0.5;        // a shorter window says too little
  static constexpr int64_t minFpsFloor = 24;         // the budget caps the frame rate below max(target, this)
  static constexpr int64_t minFpsCap = 10;
  static constexpr int64_t maxFpsCap = 60;
  static constexpr double logChangeShare = 0.25;     // the budget is logged again after moving this much
};

// One second's measurement.
struct CapacityWindow {
  int64_t area = 0;  // the coded size in force, pixels
  int64_t framesDone = 0;
  std::vector<uint64_t> saturatedIntervalsUs;
  double dtSec = 0;  // since the previous drain; 0 on the first
  uint64_t nowUs = 0;
  int64_t fps = 0;  // the target frame rate
};

struct CapacityOutcome {
  bool updated = false;  // the window was long and full enough to learn from
  bool persist = false;  // write encBudgetPxFps to "tl.encBudgetPxFps" now
  std::optional<std::string> logLine;
};

// Learns from the window into encBudgetPxFps, capacityEwmaPxFps, lastSaturatedUs, budgetCappedNow,
// encFpsCap, lastBudgetPersistUs and lastCapacityLogBudget.
CapacityOutcome learnEncoderCapacity(GeometryState& g, const CapacityWindow& window);

// The frame-rate cap a budget allows at an area: budgetCappedNow and encFpsCap.
void applyBudgetCap(GeometryState& g, double budgetPxFps, double area, int64_t fps);

}  // namespace vela
