#pragma once
// A snapshot of the link as the link-state estimator sees it, with its classification.
#include <cstdint>

namespace vela {

// Compared, never sent on the wire.
enum class LinkRegime : uint8_t { clean = 0, throughputLimited = 1, burstLimited = 2, critical = 3 };

constexpr const char* linkRegimeName(LinkRegime regime) {
  switch (regime) {
    case LinkRegime::clean: return "clean";
    case LinkRegime::throughputLimited: return "throughputLimited";
    case LinkRegime::burstLimited: return "burstLimited";
    case LinkRegime::critical: return "critical";
  }
  return "clean";
}

struct LinkState {
  double rawLossEwma = 0;      // share of frames lost or rebuilt from parity
  double visibleLossEwma = 0;  // share of frames lost (what the viewer sees)
  double delayPressure = 0;    // 0 to 1: how persistently the client reports delay overuse
  double assembleEwmaUs = 0;   // first to last chunk of a clean frame
  double meanFrameChunks = 1;  // chunks per non-key frame
  LinkRegime regime = LinkRegime::clean;
  bool exhausted = false;      // the applied bitrate is at most 10 % above the floor, or below it

  friend bool operator==(const LinkState&, const LinkState&) = default;
};

}  // namespace vela
