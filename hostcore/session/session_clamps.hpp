#pragma once
// The bounds the session puts on what its owner and its client ask for. A NaN never passes: it reads
// as the lower bound.
#include <cstdint>

namespace vela {

struct SessionClamps {
  static constexpr int64_t minTargetFps = 24;  // below, a decimating send path would drop most frames
  static constexpr int64_t maxTargetFps = 60;
  static constexpr double minScale = 1.0;
  static constexpr double maxScale = 2.0;
  static constexpr double minKeyframeSec = 0.1;
  static constexpr double maxKeyframeSec = 10.0;
  static constexpr double minAdaptiveCeilSec = 0.5;  // the adaptive controller's ceiling
  static constexpr int64_t minClientSide = 2;        // a client's window side in pixels
  static constexpr int64_t maxClientSide = 8192;     // larger sides would size buffers of gigabytes
};

double clampedScale(double scale);
double clampedKeyframeSec(double seconds);
double clampedAdaptiveCeilSec(double seconds);
int64_t clampedTargetFps(int64_t fps);
// A client's window side as a stream side: rounded down to even, 2 when at most 1, at most 8192.
int64_t evenClientSide(int64_t windowPx);
// A client's window side kept as it came, within 2…8192.
int64_t boundedClientSide(int64_t windowPx);

}  // namespace vela
