#pragma once
// The rate limit on the client's keyframe requests: a keyframe costs a burst the link must carry, so
// requests closer together than the time that burst takes (at least a second on a clean link, a third
// of one under loss relief, longer on a clogged link) are counted and dropped.
#include <cstdint>

namespace vela {

struct AdaptationState;
struct KeyframeState;

struct IdrRequestLimits {
  static constexpr int64_t minKeyframeBytes = 8000;     // a smaller last keyframe counts as this
  static constexpr double minRateBps = 50'000;          // a lower (or unknown) receive rate counts as this
  static constexpr uint64_t cloggedMinGapUs = 600'000;
  static constexpr uint64_t reliefGapUs = 333'000;
  static constexpr uint64_t normalGapUs = 1'000'000;
  static constexpr uint64_t maxGapUs = 5'000'000;
  static constexpr int64_t skipLogEvery = 20;           // skipped requests are logged 1st, 21st, 41st, ...
};

// The shortest time between two forced keyframes, in µs.
uint64_t idrMinGapUs(int64_t lastIdrBytes, double recvRateEwma, bool cloggedNow, bool lossReliefActive);

enum class IdrVerdict : uint8_t {
  skipped,         // too soon after the last forced keyframe; counted in idrSkipped
  ltrRefresh,      // recover from an acknowledged long-term reference instead of a keyframe
  forceKeyframe,   // a full keyframe, sent twice
};

// One keyframe request, under the session mutex: counts it and decides. `permitsRefresh` is true for a
// request of the session's generation and for one whose payload did not decode.
IdrVerdict judgeIdrRequest(KeyframeState& keyframes, const AdaptationState& adaptation, uint64_t nowUs,
                           bool permitsRefresh);

// Whether the skip that made idrSkipped what it is now is logged.
constexpr bool logsIdrSkip(int64_t idrSkipped) { return idrSkipped % IdrRequestLimits::skipLogEvery == 1; }

}  // namespace vela
