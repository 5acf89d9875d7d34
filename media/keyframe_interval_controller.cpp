#include "media/keyframe_interval_controller.hpp"

#include <algorithm>
#include <cmath>

namespace vela {
namespace {

constexpr int64_t heavyLossFrames = 3;       // this many lost frames in a window shorten the interval
constexpr int64_t severeLossFrames = 7;      // more than this shorten it twice as much
constexpr double heavyStepSec = 0.25;
constexpr double severeStepSec = 0.5;
constexpr double descentStepSec = 0.25;      // a clean window above the ceiling comes down at most this
constexpr int64_t slowGrowthWindows = 30;    // clean windows of slow growth after a heavy loss
constexpr int64_t slowGrowthRun = 5;
constexpr double slowGrowthStepSec = 0.05;
constexpr int64_t growthRun = 3;
constexpr double growthStepSec = 0.1;
constexpr double moveEpsilonSec = 0.001;     // smaller moves are not reported

// An interval in seconds from a caller: a NaN never becomes the interval, it reads as the lower bound.
double clampSec(double sec, double lo, double hi) { return std::isnan(sec) ? lo : std::clamp(sec, lo, hi); }

}  // namespace

KeyframeIntervalController::KeyframeIntervalController(double startSec)
    : intervalSec_(clampSec(startSec, minSec, maxSec)) {}

std::optional<double> KeyframeIntervalController::onWindow(int64_t lostFrames, bool bandwidthAmple) {
  double old = intervalSec_;
  double lower = std::max(budgetFloorSec_, minSec);
  if (lostFrames >= heavyLossFrames) {
    double step = lostFrames > severeLossFrames ? severeStepSec : heavyStepSec;
    intervalSec_ = std::max(old - step, lower);
    cleanRun_ = 0;
    slowWindowsLeft_ = slowGrowthWindows;
  } else if (lostFrames >= 1) {
    return std::nullopt;  // light loss: hold everything
  } else {
    double ceiling = bandwidthAmple ? std::min(ampleTargetSec, growCeilSec_) : growCeilSec_;
    if (old > ceiling + moveEpsilonSec) {
      intervalSec_ = std::max({ceiling, lower, old - descentStepSec});
      cleanRun_ = 0;
    } else {
      cleanRun_ += 1;
      if (slowWindowsLeft_ >= 1) {
        slowWindowsLeft_ -= 1;
        if (cleanRun_ >= slowGrowthRun) {
          intervalSec_ = std::min(old + slowGrowthStepSec, ceiling);
          cleanRun_ = 0;
        }
      } else if (cleanRun_ >= growthRun) {
        intervalSec_ = std::min(old + growthStepSec, ceiling);
        cleanRun_ = 0;
      }
    }
  }
  if (std::abs(intervalSec_ - old) > moveEpsilonSec) return intervalSec_;
  return std::nullopt;
}

void KeyframeIntervalController::setBudgetFloor(double sec) {
  budgetFloorSec_ = clampSec(sec, minSec, maxCap);
  intervalSec_ = std::max(intervalSec_, budgetFloorSec_);
}

void KeyframeIntervalController::setGrowCeil(double sec) {
  growCeilSec_ = clampSec(sec, minSec, maxCap);
  intervalSec_ = std::min(intervalSec_, growCeilSec_);
}

void KeyframeIntervalController::reset(double startSec) {
  intervalSec_ = std::min(std::max(std::isnan(startSec) ? minSec : startSec, minSec), growCeilSec_);
  cleanRun_ = slowWindowsLeft_ = 0;
}

}  // namespace vela
