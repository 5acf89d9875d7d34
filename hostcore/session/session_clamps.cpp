#include "hostcore/session/session_clamps.hpp"

#include <algorithm>
#include <cmath>

namespace vela {

namespace {
double clampNotNan(double value, double lo, double hi) { return std::isnan(value) ? lo : std::clamp(value, lo, hi); }
}  // namespace

double clampedScale(double scale) { return clampNotNan(scale, SessionClamps::minScale, SessionClamps::maxScale); }

double clampedKeyframeSec(double seconds) {
  return clampNotNan(seconds, SessionClamps::minKeyframeSec, SessionClamps::maxKeyframeSec);
}

double clampedAdaptiveCeilSec(double seconds) {
  return clampNotNan(seconds, SessionClamps::minAdaptiveCeilSec, SessionClamps::maxKeyframeSec);
}

int64_t clampedTargetFps(int64_t fps) {
  return std::clamp(fps, SessionClamps::minTargetFps, SessionClamps::maxTargetFps);
}

int64_t evenClientSide(int64_t windowPx) {
  int64_t even = windowPx <= 1 ? SessionClamps::minClientSide : windowPx & ~int64_t{1};
  return std::min(even, SessionClamps::maxClientSide);
}

int64_t boundedClientSide(int64_t windowPx) {
  return std::clamp(windowPx, SessionClamps::minClientSide, SessionClamps::maxClientSide);
}

}  // namespace vela
