#include "hostcore/session/encoder_capacity.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hostcore/session/session_time.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

int64_t wholeMp(double pixels) { return tavlo::truncateSaturating<int64_t>(pixels / 1e6); }

std::string oneDecimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

void applyBudgetCap(GeometryState& g, double budgetPxFps, double area, int64_t fps) {
  double allowed = budgetPxFps / std::max(area, 1.0);
  g.budgetCappedNow = allowed < static_cast<double>(std::max(fps, EncoderCapacity::minFpsFloor));
  g.encFpsCap = g.budgetCappedNow ? std::clamp(tavlo::truncateSaturating<int64_t>(allowed), EncoderCapacity::minFpsCap,
                                               EncoderCapacity::maxFpsCap)
                                  : EncoderCapacity::maxFpsCap;
}

CapacityOutcome learnEncoderCapacity(GeometryState& g, const CapacityWindow& w) {
  using C = EncoderCapacity;
  CapacityOutcome out;
  if (w.area <= 0 || w.framesDone < 1 || !(w.dtSec > C::minWindowSec)) return out;
  out.updated = true;
  const double area = static_cast<double>(w.area);

  std::optional<uint64_t> medianUs;
  std::optional<double> capacity;
  if (w.saturatedIntervalsUs.size() >= C::minSaturatedSamples) {
    auto sorted = w.saturatedIntervalsUs;
    std::sort(sorted.begin(), sorted.end());
    medianUs = sorted[sorted.size() / 2];  // the upper median
    if (*medianUs > 0) capacity = area * 1e6 / static_cast<double>(*medianUs);
  }
  const double delivered = area * static_cast<double>(w.framesDone) / w.dtSec;

  double budget;
  if (!capacity) {
    budget = std::max(g.encBudgetPxFps, delivered);
    // While capped and not saturated for a while, the budget creeps up: the encoder may carry more.
    bool quiet = !isWithin(w.nowUs, g.lastSaturatedUs, C::creepAfterSaturationUs);
    if (g.budgetCappedNow && quiet) budget = std::max(budget, g.encBudgetPxFps * C::creepFactor);
  } else {
    double estimate = *capacity * C::estimateShare;
    g.capacityEwmaPxFps = g.capacityEwmaPxFps == 0 ? estimate : 0.5 * estimate + 0.5 * g.capacityEwmaPxFps;
    budget = std::max(g.capacityEwmaPxFps, delivered);
    g.lastSaturatedUs = w.nowUs;
  }
  budget = std::clamp(budget, C::minBudgetPxFps, C::maxBudgetPxFps);
  g.encBudgetPxFps = budget;

  int64_t capBefore = g.encFpsCap;
  applyBudgetCap(g, budget, area, w.fps);

  if (!isWithin(w.nowUs, g.lastBudgetPersistUs, C::persistEveryUs)) {
    out.persist = true;
    g.lastBudgetPersistUs = w.nowUs;
  }

  double reference = g.lastCapacityLogBudget < 1 ? 1.0 : g.lastCapacityLogBudget;
  if (g.encFpsCap != capBefore || std::abs(budget - g.lastCapacityLogBudget) > C::logChangeShare * reference) {
    g.lastCapacityLogBudget = budget;
    std::string detail =
        capacity ? "mediana " + std::to_string(*medianUs / 1000) + " ms × " + oneDecimal(area / 1e6) + " MP, " +
                       std::to_string(w.saturatedIntervalsUs.size()) + " próbek → " + std::to_string(wholeMp(*capacity)) +
                       " MP/s"
                 : "bez nasycenia, dowozi " + std::to_string(wholeMp(delivered)) + " MP/s";
    out.logLine = "📏 pojemność enkodera: " + detail + " → budżet " + std::to_string(wholeMp(budget)) +
                  " MP/s, cap fps " + (g.budgetCappedNow ? std::to_string(g.encFpsCap) : std::string("brak"));
  }
  return out;
}

}  // namespace vela
