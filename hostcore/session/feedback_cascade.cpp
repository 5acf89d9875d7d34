#include "hostcore/session/feedback_cascade.hpp"

#include <algorithm>
#include <cmath>

#include "hostcore/session/session_time.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

constexpr double fullQualityBitsPerPixelFrame = 0.0073;  // at 60 fps
constexpr double minFullQualityBps = 800'000;
constexpr double minKeyframeCostBytes = 8'000;
constexpr double minKeyframeIntervalSec = 0.1;
constexpr double minRateScaleBps = 200'000;
constexpr double kfHeavyShare = 0.45;       // keyframes above this share of the rate hold the cascade
constexpr double holdPressure = 0.65;
constexpr double engagePressure = 0.85;
constexpr double wallPressure = 0.95;
constexpr uint64_t releaseAfterUs = 4'000'000;
constexpr uint64_t wallRampUs = 24'000'000;
constexpr double wallMax = 0.5;
constexpr double lossTermMax = 0.85;
constexpr double kfTermMax = 0.9;
constexpr uint64_t raiseSpacingUs = 700'000;
constexpr int64_t permilleDropAtOnce = 100;
constexpr int64_t permilleRaiseStep = 50;
constexpr int64_t fpsDropAtOnce = 10;
constexpr int64_t fpsRaiseStep = 5;

int64_t roundedInt(double v) { return tavlo::roundChecked<int64_t>(v).value_or(0); }

bool raiseAllowed(uint64_t now, uint64_t lastRaiseUs) {
  auto age = ageUs(now, lastRaiseUs);
  return !age || *age > raiseSpacingUs;
}

}  // namespace

CascadeTargets cascadeTargets(double d, double motionEwma) {
  double m = 0.5 + 0.2 * motionEwma;
  CascadeTargets t;
  t.fps = std::clamp<int64_t>(60 - 5 * roundedInt(std::min(1.0, d / m) * 30 / 5), 30, 60);
  double detail = std::clamp((d - m) / std::max(0.05, 1 - m), 0.0, 1.0);
  t.permille = std::clamp<int64_t>(1000 - 50 * roundedInt(detail * 500 / 50), 500, 1000);
  if (t.permille < 1000) {
    t.stage = 3;
    if (t.permille == 950) t.permille = 1000;  // one step of detail is not worth a rescale
  } else {
    t.stage = t.fps < 60 ? 2 : 1;
  }
  return t;
}

void stepSoftTargets(GeometryState& g, const CascadeTargets& t, uint64_t now, bool& softChanged, bool& fpsChanged) {
  softChanged = fpsChanged = false;
  if (t.permille <= g.softPermille - permilleDropAtOnce) {
    g.softPermille = t.permille;
    softChanged = true;
  } else if (t.permille > g.softPermille && raiseAllowed(now, g.lastSoftRaiseUs)) {
    g.softPermille = std::min(t.permille, g.softPermille + permilleRaiseStep);
    g.lastSoftRaiseUs = now;
    softChanged = true;
  }
  if (t.fps <= g.softFpsTarget - fpsDropAtOnce) {
    g.softFpsTarget = t.fps;
    fpsChanged = true;
  } else if (t.fps > g.softFpsTarget && raiseAllowed(now, g.lastFpsRaiseUs)) {
    g.softFpsTarget = std::min(t.fps, g.softFpsTarget + fpsRaiseStep);
    g.lastFpsRaiseUs = now;
    fpsChanged = true;
  }
}

CascadeOutcome runCascade(GeometryState& g, double& kfOverEwma, const CascadeInput& in) {
  CascadeOutcome out;
  uint64_t now = in.nowUs;
  double p = in.pressure;
  double area = static_cast<double>(std::max<int64_t>(1, g.currentPw * g.currentPh));
  double kfCost = std::max(static_cast<double>(in.lastIdrBytes), minKeyframeCostBytes) * 8 /
                  std::max(minKeyframeIntervalSec, in.keyframeIntervalSec);
  kfOverEwma = kfOverEwma == 0 ? kfCost : 0.99 * kfOverEwma + 0.01 * kfCost;
  double need = std::max(minFullQualityBps, area * fullQualityBitsPerPixelFrame * 60);
  double rateScale = std::max(minRateScaleBps, static_cast<double>(in.applied));

  bool settled = !in.chronicOpen && now >= g.softSeedUntilUs;
  bool kfHeavy = kfHeavyShare * rateScale < kfOverEwma;
  if (!settled || p >= holdPressure || kfHeavy) g.cascadeHoldUs = now;
  if (!g.cascadeEngaged && (kfHeavy || !settled || p >= engagePressure - (1 - g.motionEwma) * 0.1))
    g.cascadeEngaged = true;
  if (g.cascadeEngaged && g.cascadeHoldUs != 0 && now > g.cascadeHoldUs && now - g.cascadeHoldUs > releaseAfterUs)
    g.cascadeEngaged = false;

  if (g.cascadeEngaged) {
    double wall = 0;
    if (p >= wallPressure) {
      if (g.cascadeWallSinceUs == 0) g.cascadeWallSinceUs = now;
      wall = std::min(wallMax, static_cast<double>(now - g.cascadeWallSinceUs) / wallRampUs);
    } else {
      g.cascadeWallSinceUs = 0;
    }
    double avail = in.provenBps >= 1   ? static_cast<double>(in.provenBps)
                   : in.rxEwmaSlow > 0 ? in.rxEwmaSlow
                                       : 0.7 * (need + kfOverEwma);
    avail = std::min(static_cast<double>(in.ceilingBps), avail);
    double lossTerm = in.lossShrinkEnabled ? std::min(lossTermMax, in.lossShrinkGain * in.lossShare) : 0;
    double kfTerm = std::min(kfTermMax, std::max(0.0, (kfOverEwma / rateScale - 0.25) / 0.75));
    double gap = std::clamp(1 - avail / (need + kfOverEwma), 0.0, 1.0);
    double d = std::max({wall, lossTerm, kfTerm, gap});
    if (d >= 0.95) d = 1.0;
    out.deficitPct = tavlo::truncateSaturating<int64_t>(d * 100);
    out.targets = cascadeTargets(d, g.motionEwma);
  } else {
    g.cascadeWallSinceUs = 0;
  }

  const CascadeTargets& t = out.targets;
  CascadeLogMark& last = g.cascadeLastLog;
  out.logStage = t.stage != last.stage ||
                 (t.stage != 0 && (std::abs(t.fps - last.fps) >= 10 || std::abs(t.permille - last.permille) >= 100));
  if (out.logStage) last = {t.stage, t.fps, t.permille};
  g.cascadeStageNow = t.stage;
  g.cascadeDeficitPct = out.deficitPct;

  stepSoftTargets(g, t, now, out.softChanged, out.fpsChanged);
  return out;
}

}  // namespace vela
