#include "hostcore/session/surface_ladder_step.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

std::string format(const char* pattern, double value) {
  char text[32];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// Megapixels to one decimal, truncated rather than rounded.
std::string megapixels(double area) { return format("%.1f", std::floor(area / 1e5) / 10.0); }

}  // namespace

std::string rungText(double scale) {
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, scale);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::optional<LadderStep> stepSurfaceLadder(GeometryState& g, bool mirror, std::optional<int64_t> appliedBitrate) {
  using R = SurfaceLadderRules;
  const double area = static_cast<double>(g.lastFullStreamArea);
  if (area <= 0 || mirror || g.ladderRungs.empty()) return std::nullopt;
  const int64_t last = static_cast<int64_t>(g.ladderRungs.size()) - 1;
  const int64_t i = std::clamp<int64_t>(g.ladderIdx, 0, last);
  const double budget = g.encBudgetPxFps;
  const double bitrate = static_cast<double>(appliedBitrate.value_or(0));

  const double s = g.ladderRungs[i];
  const double pixels = area * s * s;
  std::optional<std::string> pressure;
  if (double fps = budget / pixels; fps < R::pressFps) {
    pressure = "enkoder " + std::to_string(tavlo::truncateSaturating<int64_t>(fps)) + " fps";
  } else if (appliedBitrate) {
    double bpp = bitrate / (pixels * R::bppFps);
    if (bpp < R::pressBpp)
      pressure = "łącze " + std::to_string(*appliedBitrate / 1000) + "k = " + format("%.4f", bpp) + " bpp";
  }
  bool upBlocked = true;
  if (i > 0) {
    const double up = g.ladderRungs[i - 1];
    const double upPixels = area * up * up;
    upBlocked = budget / upPixels < R::upFps || (appliedBitrate && bitrate / (upPixels * R::bppFps) < R::upBpp);
  }

  g.lastLadderUpNeeded = R::upRunNeeded;
  std::optional<int64_t> to;
  if (pressure) {
    ++g.ladderDownRun;
    g.ladderUpRun = 0;
    if (g.ladderDownRun >= R::downRunNeeded && i < last) to = i + 1;
  } else if (i > 0 && !upBlocked) {
    ++g.ladderUpRun;
    g.ladderDownRun = 0;
    if (g.ladderUpRun >= R::upRunNeeded) to = i - 1;
  } else {
    g.ladderUpRun = 0;
    g.ladderDownRun = 0;
  }
  if (!to) return std::nullopt;

  g.ladderUpRun = 0;
  g.ladderDownRun = 0;
  ++g.ladderStepsDone;
  g.ladderIdx = *to;
  const double next = g.ladderRungs[*to];
  const std::string where = rungText(next) + " (" + megapixels(area * next * next) + " MP) — ";
  return LadderStep{next, *to < i ? "🪜 powierzchnia ↑ " + where + "zapas przez " + std::to_string(R::upRunNeeded) + " s"
                                  : "🪜 powierzchnia ↓ " + where + *pressure};
}

}  // namespace vela
