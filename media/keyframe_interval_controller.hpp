#pragma once
// Chooses the encoder's maximum keyframe interval by stepwise rules driven by lost frames: a keyframe
// repairs every loss, so a lossy link gets keyframes more often and a clean link rarely (they are
// large and costly). Fed once per loss window; answers with a new interval only when it moved.
//
// No lock of its own: the session calls it under its state lock.
#include <cstdint>
#include <optional>

namespace vela {

class KeyframeIntervalController {
 public:
  static constexpr double minSec = 0.5;          // shortest interval
  static constexpr double maxSec = 5.0;          // longest starting interval and default ceiling
  static constexpr double maxCap = 10.0;         // highest value a ceiling or floor may be set to
  static constexpr double ampleTargetSec = 1.0;  // the ceiling while bandwidth is ample

  explicit KeyframeIntervalController(double startSec);

  std::optional<double> onWindow(int64_t lostFrames, bool bandwidthAmple);
  void setBudgetFloor(double sec);
  void setGrowCeil(double sec);
  void reset(double startSec);

  double intervalSec() const { return intervalSec_; }
  double growCeilSec() const { return growCeilSec_; }
  double budgetFloorSec() const { return budgetFloorSec_; }

 private:
  double intervalSec_;
  double growCeilSec_ = maxSec;
  int64_t cleanRun_ = 0;         // consecutive clean windows since the last move
  int64_t slowWindowsLeft_ = 0;  // windows left in slow growth after a heavy loss
  double budgetFloorSec_ = minSec;
};

}  // namespace vela
