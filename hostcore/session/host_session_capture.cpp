// The capture callback and the encode job: which captured frames are encoded (clog halving, frame-rate
// decimation, back-pressure, forced keyframes), the keyframe timer and the capture statistics.
#include <algorithm>

#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/session_time.hpp"

namespace vela {

namespace {

constexpr int64_t statsEveryFrames = 60;
constexpr int64_t decimationBaseFps = 60;      // the accumulator treats the capture as 60 fps
constexpr int64_t maxEncodePending = 1;        // a frame is submitted only while at most this many wait
constexpr int64_t maxEncoderInFlight = 5;      // nor while the encoder holds this many
// A software encoder codes one frame at a time: a second frame waiting in it keeps it busy, a third
// only waits longer (the throughput stays the same) and stretches every frame's latency by an encode.
constexpr int64_t maxSoftwareEncoderInFlight = 2;
constexpr uint64_t slowCaptureIntervalUs = 41'667;  // slower than 24 fps
constexpr int64_t slowSourceFpsCap = 24;
constexpr int64_t sourceFpsRaiseStep = 5;
constexpr uint64_t sourceFpsRaiseEveryUs = 1'000'000;

}  // namespace

void HostSession::onCapturedFrame(const std::shared_ptr<const tavlo::Nv12Buffer>& pixelBuffer,
                                  uint64_t captureTimestampUs) {
  const uint64_t now = nowUs();
  bool capacityDue;
  int64_t targetFps;
  {
    Locked locked(*this);
    const auto& g = locked->geometry;
    capacityDue = g.lastCapacityDrainUs == 0 || now < g.lastCapacityDrainUs || now - g.lastCapacityDrainUs > 999'999;
    targetFps = g.targetFps;
  }
  if (capacityDue) {
    updateEncoderCapacity(targetFps);
    updateSurfaceLadder();
  }
  if (isolationGateBlocks(now)) return;
  bool forceKF, ltrRefresh, paused, drop = false, fpsChanged = false;
  int64_t effFps, count;
  std::vector<int64_t> tokens;
  std::shared_ptr<EncoderEngine> encoder;
  {
    Locked locked(*this);
    SessionState& s = locked.state();
    auto& g = s.geometry;
    paused = g.videoPaused;
    forceKF = std::exchange(s.keyframes.forceKeyframeNext, false);
    ltrRefresh = std::exchange(s.keyframes.ltrPendingRefresh, false);
    count = ++s.send.capturedFrames;
    const bool exempt = forceKF || ltrRefresh || paused;
    if (!exempt && s.adaptation.cloggedNow && count % 2 == 1) drop = true;  // halving under clog

    effFps = std::min({g.softFpsTarget, g.encFpsCap, g.targetFps, g.sourceFpsCap, g.decodeFpsCap});
    bool forced = forceKF;
    if (forceKF) {
      s.keyframes.lastIdrWallUs = now;
    } else if (!paused && s.keyframes.lastIdrWallUs != 0) {
      // The interval the encoder is given (relief and WAN floor included): the encoder's own limit stands
      // behind this timer, so the timer is what brings the keyframes at that interval.
      double interval = encoderKeyframeIntervalSec(s.keyframes, s.adaptation);
      if (double(now - std::min(now, s.keyframes.lastIdrWallUs)) >= interval * 1'000'000.0) {
        s.keyframes.gopForcedWindow += 1;
        s.keyframes.lastIdrWallUs = now;
        forced = true;
      }
    }
    forceKF = forced;
    if (effFps != g.lastEffFpsApplied) {
      g.lastEffFpsApplied = effFps;
      fpsChanged = true;
    }
    if (!drop && !forceKF && !ltrRefresh && !paused && !s.adaptation.cloggedNow && effFps < decimationBaseFps) {
      g.fpsAccum += double(effFps) / double(decimationBaseFps);
      if (g.fpsAccum < 1.0) {
        drop = true;
      } else {
        g.fpsAccum -= 1.0;
      }
    }
    if (!drop) tokens = std::exchange(s.keyframes.ltrAckedVTTokens, {});
    auto& d = s.diag;
    if (d.lastCaptureUs != 0) {
      d.captureIntervalSumUs += now - std::min(now, d.lastCaptureUs);
      d.captureIntervalCount += 1;
    }
    d.lastCaptureUs = now;
    encoder = s.engines.encoder;
  }
  if (fpsChanged && encoder) encoder->setEffectiveFps(effFps);
  if (paused || drop) return;

  const int64_t inFlight = encoder ? encoder->framesInFlight() : 0;
  const bool software = encoder && !encoder->hardwareAccelerated();
  {
    Locked locked(*this);
    auto& send = locked->send;
    // For a software encoder, frames still on the way to it count as held by it.
    const bool full = software ? inFlight + send.encodePending >= maxSoftwareEncoderInFlight
                               : inFlight >= maxEncoderInFlight;
    if (!forceKF && !ltrRefresh && (send.encodePending > maxEncodePending || full)) {
      send.encodeDropped += 1;
      return;
    }
    send.encodePending += 1;
  }
  std::weak_ptr<HostSession> weak = weak_from_this();
  components_.encodeQueue->post(
      [weak, pixelBuffer, captureTimestampUs, forceKF, ltrRefresh, tokens = std::move(tokens)] {
        auto self = weak.lock();
        if (!self) return;
        std::shared_ptr<EncoderEngine> encoder;
        {
          Locked locked(*self);
          encoder = locked->engines.encoder;
        }
        if (encoder) {
          auto frame = self->softFiltered(self->hqDownscaled(pixelBuffer));
          encoder->encode(frame, captureTimestampUs, forceKF, ltrRefresh, tokens);
        }
        Locked locked(*self);
        locked->send.encodePending -= 1;
      });

  const uint64_t submitUs = nowUs() - now;
  if (count % statsEveryFrames != 0) {
    Locked locked(*this);
    locked->diag.submitSumUs += submitUs;
    return;
  }
  Locked locked(*this);
  SessionState& s = locked.state();
  auto& d = s.diag;
  d.submitSumUs += submitUs;
  const int64_t n = d.captureIntervalCount;
  const uint64_t sum = d.captureIntervalSumUs, submitSum = d.submitSumUs;
  d.captureIntervalSumUs = 0;
  d.submitSumUs = 0;
  d.captureIntervalCount = 0;
  if (n < 1) return;
  const uint64_t avg = sum / uint64_t(n);
  const uint64_t div = avg == 0 ? 1 : avg;
  const int64_t fps = int64_t(1'000'000 / div);
  const int64_t dropped = std::exchange(s.send.encodeDropped, 0);
  d.diagSckFps = fps;
  d.diagSckIntervalMs = int64_t(avg / 1000);
  d.diagDrop = dropped;
  auto& g = s.geometry;
  const int64_t cap = div >= slowCaptureIntervalUs ? slowSourceFpsCap : std::min<int64_t>(fps, 60);
  if (cap < g.sourceFpsCap) {
    g.sourceFpsCap = cap;
  } else if (cap > g.sourceFpsCap && !isWithin(now, g.lastSrcFpsRaiseUs, sourceFpsRaiseEveryUs + 1)) {
    g.sourceFpsCap = std::min(g.sourceFpsCap + sourceFpsRaiseStep, cap);
    g.lastSrcFpsRaiseUs = now;
  }
  locked.log("📡 SCK: " + std::to_string(fps) + " fps (interwał " + std::to_string(avg / 1000) +
             "ms), submit-enkod avg " + std::to_string(submitSum / 60000) + "ms, enkod-drop " +
             std::to_string(dropped) + "/60");
}

}  // namespace vela
