#pragma once
// One evaluation of the surface ladder, once a second: whether the encoder budget or the link's bits
// per pixel press at the current rung (five seconds in a row step the stream down a rung), or leave
// enough margin at the rung above (fifteen seconds in a row step it back up). Pure over the geometry
// state; the caller holds the session mutex, then applies the scale and writes the line after release.
#include <cstdint>
#include <optional>
#include <string>

#include "hostcore/session/geometry_state.hpp"

namespace vela {

struct SurfaceLadderRules {
  static constexpr double pressFps = 30.0;      // the budget must carry this at the current rung
  static constexpr double pressBpp = 0.015;     // and the link this many bits per pixel at 30 fps
  static constexpr double upFps = 34.5;         // a step up needs this margin at the larger rung
  static constexpr double upBpp = 0.01875;
  static constexpr double bppFps = 30.0;
  static constexpr int64_t downRunNeeded = 5;   // seconds of pressure before a step down
  static constexpr int64_t upRunNeeded = 15;    // good seconds before a step up
};

struct LadderStep {
  double scale = 1.0;  // the new rung's stream scale
  std::string logLine;
};

// `appliedBitrate` is the bitrate controller's, absent without one. Nothing when no step is due (or the
// ladder has no area yet, or the session mirrors).
std::optional<LadderStep> stepSurfaceLadder(GeometryState& g, bool mirror, std::optional<int64_t> appliedBitrate);

// A rung's scale as the log lines write it: the shortest decimal form, at least one decimal.
std::string rungText(double scale);

}  // namespace vela
