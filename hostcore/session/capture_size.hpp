#pragma once
// The size capture runs at for the coded size in force. With the HQ downscale on (and neither mirroring
// nor 1x mode) capture delivers the display's full backing when it is clearly larger than the stream,
// and the encode queue averages it down; otherwise the capture's own scaler delivers the stream size.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "hostcore/session/client_hello_facts.hpp"
#include "hostcore/session/geometry_state.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

// A backing clearly larger than the stream: more than this factor wider.
inline constexpr double hqBackingMargin = 1.05;

inline std::pair<int64_t, int64_t> captureSizeForMode(const GeometryState& g, bool mirror) {
  if (g.hqDownscale && !mirror && !g.force1xActive) {
    auto backing = [&](int64_t side) {
      return std::max<int64_t>(tavlo::truncateSaturating<int64_t>(g.scaleS * static_cast<double>(side)), 2) &
             ~int64_t{1};
    };
    // The window's size is the client's word, the display's live mode is what exists.
    auto [fw, fh] = fitWithin(backing(g.baseW), backing(g.baseH), g.displayPixelW, g.displayPixelH);
    if (static_cast<double>(g.currentPw) * hqBackingMargin < static_cast<double>(fw)) return {fw, fh};
  }
  return {g.currentPw, g.currentPh};
}

}  // namespace vela
