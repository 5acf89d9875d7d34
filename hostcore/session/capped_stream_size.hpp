#pragma once
// The coded stream size for a display's base size and scale: 1:1 mode halves it, a client panel that
// covers less than the window shrinks it to what the panel shows, and the encoder budget decides the
// frame-rate cap. The first call of a session also starts the surface ladder at its top rung.
//
// Pure over the geometry state: the caller holds the session mutex (reconfiguration) or is the only one
// touching these fields (the hello, before capture starts), and writes the returned lines after release.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostcore/session/geometry_state.hpp"

namespace vela {

struct StreamSizeContext {
  bool mirror = false;
  double encBudgetPxFps = 0;              // the encoder capacity budget, pixels per second
  std::optional<int64_t> seededStartBps;  // the link memory's start rate, for the ladder's log line
};

struct CappedStreamSize {
  int64_t w = 0;  // even, at least 2
  int64_t h = 0;
  std::vector<std::string> logLines;
};

struct SurfaceLadder {
  static constexpr double fullLadder[] = {1.0, 0.75, 0.667, 0.5};
  static constexpr int64_t fullLadderMinBacking = 150;  // a Mac client at this backing or more gets all rungs
  static constexpr double coverageLimitedBelow = 0.999;
  static constexpr int64_t minBudgetFps = 24;  // a budget below this (or the target) caps the frame rate
  static constexpr int64_t minEncFpsCap = 10;
  static constexpr int64_t maxEncFpsCap = 60;
};

CappedStreamSize cappedStreamSize(GeometryState& g, int64_t bw, int64_t bh, double s, const StreamSizeContext& context);

}  // namespace vela
