#include "hostcore/session/frame_send_math.hpp"

#include <algorithm>
#include <cmath>

#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

int64_t rounded(double value) { return tavlo::roundChecked<int64_t>(value).value_or(0); }

}  // namespace

bool lowLagLink(bool lanSession, bool relayedSession, double fbLagEwmaUs) {
  if (lanSession) return true;
  if (fbLagEwmaUs > FrameSendLimits::lanLagMaxUs) return false;
  return !relayedSession || fbLagEwmaUs <= FrameSendLimits::relayedLagOkUs;
}

uint64_t chunkSpreadUs(int64_t chunkCount, bool isKeyframe, bool lowLag, int64_t payloadBytes, double recvRateEwma) {
  if (chunkCount < FrameSendLimits::pacedFromChunks) return 0;
  if (lowLag || !isKeyframe) return FrameSendLimits::baseSpreadUs;
  double rate = std::max(recvRateEwma, FrameSendLimits::minRecvRateBps);
  double spread = double(payloadBytes) * 8.0 / rate * (FrameSendLimits::keyframeSpreadFactor * 1'000'000.0);
  spread = std::clamp(spread, double(FrameSendLimits::minKeyframeSpreadUs), double(FrameSendLimits::maxKeyframeSpreadUs));
  return tavlo::truncateSaturating<uint64_t>(spread);
}

uint64_t paritySpreadUs(uint64_t spreadUs) {
  return spreadUs >= FrameSendLimits::parityThirdFromUs ? spreadUs / 3 : FrameSendLimits::minParitySpreadUs;
}

int fecGroupCount(const FecInputs& in, const SessionTunables& t) {
  const int64_t n = in.chunkCount;
  if (n < 1) return 0;
  const bool isIDR = in.flags.contains(FrameFlags::idr);
  const bool important =
      in.flags.contains(FrameFlags::isLTR) || in.flags.contains(FrameFlags::refreshFromLTR) ||
      in.flags.contains(FrameFlags::inBandParamSets);
  const double L = in.lossEwma;
  auto result = [](int64_t g) { return int(std::clamp<int64_t>(g, 0, 255)); };

  if (in.clogged) return isIDR ? result(std::min<int64_t>(n, 2)) : 0;
  if (n == 1) return (isIDR || important || in.hot || in.wan || L > 0.15) ? 1 : 0;
  const double ramp = t.kfFecRamp > 0 ? t.kfFecRamp : 1.0;  // a zero ramp would divide by zero
  if (L < 0.02 && isIDR) {
    double share = std::clamp((double(n) - double(t.kfFecThresh)) / ramp * t.kfFecMax, 0.0, t.kfFecMax);
    int64_t k = rounded(share * double(n));
    if (in.wan) {
      int64_t base = (n + 7) / 8;
      if (k <= 1) return result(n <= 16 ? 2 : std::min(base, n));
      return result(std::min(std::max(base, k), n));
    }
    if (n <= 3) return result(k <= 0 ? 1 : std::min(n, k));
    return result(k >= 2 ? std::min(n, k) : 2);
  }
  if (L < 0.02) {
    if (in.hot) return n > 3 ? 2 : 1;
    if (!in.pFecRamp) return in.wan ? 1 : 0;
    if (in.wan) return 1;
    if (n <= t.kfFecThresh) return 0;
    double half = 0.5 * t.kfFecMax;
    int64_t k = rounded(std::clamp((double(n) - double(t.kfFecThresh)) / ramp * half, 0.0, half) * double(n));
    if (k < 1) return 0;
    if (k == 1) return 2;
    return result(std::min(n, k));
  }
  if (t.fecPropEnabled) {
    double cap = t.fecPropCeil;
    if (!in.wan && in.fecCapLowRtt) cap = std::min(cap, 0.12);
    double ratio = std::min(std::max(L * t.fecPropGain, t.fecPropFloor), cap);
    int64_t k = rounded(ratio * double(n));
    int64_t minimum = 1;
    if (isIDR) {
      k = std::max(k, rounded(std::max(ratio, t.fecIdrFloor) * double(n)));
      minimum = 2;
    }
    return result(std::min({std::max(k, minimum), n, int64_t{255}}));
  }
  double D = L > 0.45 ? 4.0 : std::clamp(0.4 / L, 3.0, 4.0);
  int64_t g = tavlo::truncateSaturating<int64_t>(std::ceil(double(n) / D));
  int64_t G = g < 1 ? 1 : std::min(n, g);
  if (isIDR) G = std::min(std::max<int64_t>(G, 2), n);
  return result(G);
}

uint8_t takeLtrWireToken(uint8_t& next) {
  uint8_t wire = next == 255 ? 0 : next;
  next = uint8_t(wire + 1);
  return wire;
}

DupVerdict duplicationVerdict(AdaptationState& a, uint64_t nowUs, int64_t chunkCount, uint32_t frameId) {
  if (!(nowUs < a.dupUntilUs) || a.cloggedNow || chunkCount > FrameSendLimits::dupMaxChunks) return DupVerdict::none;
  a.dupFrameCounter += 1;
  if (a.dupFrameCounter % FrameSendLimits::dupProbeEvery != 0) return DupVerdict::duplicate;
  if (a.probeFrameIds.size() >= FrameSendLimits::probeIdsMax) a.probeFrameIds.clear();
  a.probeFrameIds.insert(frameId);
  return DupVerdict::probe;
}

bool emergencyKeyframeCopy(bool bootstrap, bool rescue, DupVerdict dup, bool clogged, int64_t chunkCount) {
  if (!(bootstrap || rescue) || dup != DupVerdict::none || clogged) return false;
  return chunkCount <= (bootstrap ? FrameSendLimits::bootstrapCopyMaxChunks : FrameSendLimits::rescueCopyMaxChunks);
}

std::vector<std::pair<size_t, double>> interleavedParityOrder(size_t parityCount, int64_t chunkCount, int64_t groupCount) {
  std::vector<std::pair<size_t, double>> order;
  order.reserve(parityCount);
  const int64_t G = std::max<int64_t>(groupCount, 1);
  for (size_t i = 0; i < parityCount; ++i) {
    int64_t last = int64_t(i);
    if (last < chunkCount) last += (chunkCount - 1 - last) / G * G;
    order.emplace_back(i, double(last) / double(std::max<int64_t>(chunkCount, 1)));
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return order;
}

int64_t bitrateFloorBps(int64_t pw, int64_t ph, double keyframeSec) {
  double k = std::max(keyframeSec, EngineSetupLimits::minKeyframeSec);
  double px = double(pw) * double(ph);
  int64_t floor = tavlo::truncateSaturating<int64_t>(0.8 * (px * 0.0073 * 60 + px * 0.2 / k));
  return std::clamp(floor, EngineSetupLimits::floorMinBps, EngineSetupLimits::floorMaxBps);
}

std::optional<int64_t> wireCapBps(std::optional<int64_t> kbps) {
  if (!kbps || *kbps < EngineSetupLimits::wireCapMinKbps) return std::nullopt;
  return tavlo::saturatingMul(*kbps, 1000);
}

}  // namespace vela
