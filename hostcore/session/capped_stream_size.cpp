#include "hostcore/session/capped_stream_size.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

int64_t truncated(double value) { return tavlo::truncateSaturating<int64_t>(value); }
int64_t evenOf(double value) { return truncated(value) & ~int64_t{1}; }

std::string formatted(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

CappedStreamSize cappedStreamSize(GeometryState& g, int64_t bw, int64_t bh, double s, const StreamSizeContext& context) {
  CappedStreamSize result;
  double f = 1.0;
  if (g.force1xActive && !context.mirror) f = std::min(s * 0.5, 1.0);
  double w = f * double(bw);
  double h = f * double(bh);

  double rw = 1.0, rh = 1.0;
  if (w >= 1.0) rw = g.clientPhysFactor * double(bw) / w;
  if (h >= 1.0) rh = g.clientPhysFactor * double(bh) / h;
  double r = std::min(rw, rh);
  bool coverageLimited = r < SurfaceLadder::coverageLimitedBelow;
  if (coverageLimited) {
    if (g.clientIsMac && !g.force1xActive) {
      w = double(bw);
      h = double(bh);
    } else {
      w *= r;
      h *= r;
      result.logLines.push_back("🎛️ strumień = pokrycie matrycy klienta: " + std::to_string(evenOf(w)) + "×" +
                                std::to_string(evenOf(h)) + " (okno " + std::to_string(bw) + "×" + std::to_string(bh) +
                                ", ×" + formatted("%.3f", g.clientPhysFactor) + ")");
    }
  }
  g.lastFullStreamArea = truncated(w * h);

  if (!g.ladderInitDone) {
    g.ladderInitDone = true;
    g.ladderIdx = 0;
    g.streamScaleActive = 1.0;
    if (g.clientIsMac && g.clientBackingPercent >= SurfaceLadder::fullLadderMinBacking && !g.force1xActive) {
      g.ladderRungs.assign(std::begin(SurfaceLadder::fullLadder), std::end(SurfaceLadder::fullLadder));
    } else {
      g.ladderRungs = {1.0};
    }
    std::string link = context.seededStartBps ? ", łącze " + std::to_string(*context.seededStartBps / 1000) + "k z pamięci"
                                              : ", łącze nieznane";
    result.logLines.push_back("🪜 start drabinki: stopień 1.0 (" + formatted("%.1f", w * h / 1e6) + " MP) — budżet " +
                              std::to_string(truncated(context.encBudgetPxFps / 1e6)) + " MP/s" + link);
  }

  double W = w * g.streamScaleActive;
  double H = h * g.streamScaleActive;
  double allowed = context.encBudgetPxFps / std::max(W * H, 1.0);
  g.budgetCappedNow = allowed < double(std::max<int64_t>(g.targetFps, SurfaceLadder::minBudgetFps));
  if (g.budgetCappedNow) {
    g.encFpsCap = std::clamp(truncated(allowed), SurfaceLadder::minEncFpsCap, SurfaceLadder::maxEncFpsCap);
    result.logLines.push_back("🎛️ budżet enkodera: piksele natywne, cap fps → " + std::to_string(g.encFpsCap) +
                              " (okno " + std::to_string(bw) + "×" + std::to_string(bh) + ")");
  } else {
    g.encFpsCap = SurfaceLadder::maxEncFpsCap;
  }

  if (coverageLimited) {
    auto side = [](double v) {
      return std::max<int64_t>(2 * tavlo::roundChecked<int64_t>(v / 2).value_or(1), 2);
    };
    result.w = side(W);
    result.h = side(H);
  } else {
    result.w = std::max<int64_t>(truncated(W), 2) & ~int64_t{1};
    result.h = std::max<int64_t>(truncated(H), 2) & ~int64_t{1};
  }
  return result;
}

}  // namespace vela
