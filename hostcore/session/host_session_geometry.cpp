// Stream geometry while streaming: the encoder capacity budget and the surface ladder (once a second
// from the capture path), the stream scale, the debounced reconfiguration task, the HQ downscale and
// the soft filter on the encode queue, and the HQ switch.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/session/capped_stream_size.hpp"
#include "hostcore/session/capture_size.hpp"
#include "hostcore/session/client_hello_facts.hpp"
#include "hostcore/session/encoder_capacity.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/surface_ladder_step.hpp"

namespace vela {

namespace {

// Reconfiguration is debounced: bursts of resize, scale and frame-rate changes cost one rebuild.
constexpr uint64_t reconfigureFirstDelayUs = 250'000;
constexpr uint64_t reconfigureRepeatDelayUs = 150'000;
constexpr double minStreamScale = 0.5;
constexpr double maxStreamScale = 1.0;
constexpr double streamScaleEpsilon = 0.001;
constexpr const char* encBudgetKey = "tl.encBudgetPxFps";

std::string twoDecimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace

void HostSession::updateEncoderCapacity(int64_t fps) {
  std::shared_ptr<EncoderEngine> encoder;
  int64_t area;
  {
    Locked locked(*this);
    encoder = locked->engines.encoder;
    area = tavlo::saturatingMul(locked->geometry.currentPw, locked->geometry.currentPh);
  }
  if (!encoder) return;
  auto drained = encoder->drainThroughputWindow();
  uint64_t now = nowUs();
  CapacityOutcome outcome;
  double budget;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    double dt = g.lastCapacityDrainUs == 0 || now < g.lastCapacityDrainUs
                    ? 0.0
                    : static_cast<double>(now - g.lastCapacityDrainUs) / 1e6;
    g.lastCapacityDrainUs = now;
    outcome = learnEncoderCapacity(g, CapacityWindow{area, drained.framesDone, std::move(drained.saturatedIntervalsUs),
                                                     dt, now, fps});
    budget = g.encBudgetPxFps;
    if (outcome.logLine) locked.log(*outcome.logLine);
  }
  // The next session starts from what this one learnt.
  if (outcome.persist) deps_.settings->set(encBudgetKey, budget);
}

void HostSession::updateSurfaceLadder() {
  std::optional<LadderStep> step;
  {
    Locked locked(*this);
    const auto& controller = locked->adaptation.bitrateController;
    std::optional<int64_t> bitrate;
    if (controller) bitrate = controller->appliedBitrate();
    step = stepSurfaceLadder(locked->geometry, mirror_, bitrate);
    if (step) locked.log(step->logLine);
  }
  if (step) applyStreamScale(step->scale);
}

void HostSession::applyStreamScale(double scale) {
  scale = std::isnan(scale) ? maxStreamScale : std::clamp(scale, minStreamScale, maxStreamScale);
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    if (std::abs(scale - g.streamScaleActive) < streamScaleEpsilon || g.baseW == 0) return;
    g.streamScaleActive = scale;
    locked.log("🎚️ skala strumienia → " + twoDecimals(scale) + " (ekran bez zmian, klatki mniejsze)");
  }
  scheduleReconfigure();
}

std::pair<int64_t, int64_t> HostSession::pendingCodedSize(Locked& locked) {
  auto& g = locked->geometry;
  if (mirror_) {
    auto side = [&](int64_t base) {
      return std::max<int64_t>(tavlo::roundChecked<int64_t>(g.scaleS * static_cast<double>(base)).value_or(2), 2) &
             ~int64_t{1};
    };
    return {side(g.baseW), side(g.baseH)};
  }
  auto capped = cappedStreamSize(g, g.baseW, g.baseH, g.scaleS,
                                 StreamSizeContext{false, g.encBudgetPxFps, locked->adaptation.seededStartBps});
  for (auto& line : capped.logLines) locked.log(std::move(line));
  // A resize, a new frame rate or scale rebuilds at this size: the client's decode limit holds for each.
  return fitWithin(capped.w, capped.h, g.maxDecodePxW, g.maxDecodePxH);
}

void HostSession::scheduleReconfigure() {
  {
    Locked locked(*this);
    auto [pw, ph] = pendingCodedSize(locked);
    auto& g = locked->geometry;
    g.pendingResizePw = pw;
    g.pendingResizePh = ph;
    if (g.isReconfiguring) return;  // the running task picks the newest pending size up
    g.isReconfiguring = true;
  }
  armReconfigureStep(reconfigureFirstDelayUs);
}

void HostSession::armReconfigureStep(uint64_t delayUs) {
  std::weak_ptr<HostSession> weak = weak_from_this();
  deps_.scheduler->after(delayUs, [weak] {
    // Display work blocks for seconds: it runs on a thread of its own, not on the timer's.
    if (auto session = weak.lock()) session->runTask("vela.reconfig", [](HostSession& s) { s.reconfigureStep(); });
  });
}

void HostSession::reconfigureStep() {
  int64_t pw, ph;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    bool ended = locked->identity.disconnected || locked->path.transportCancelled;
    // Before the hello there is no display to rebuild on (reconfigure() returns at once): the task ends
    // instead of re-arming every 150 ms, and the hello's own setup uses the newest size.
    bool noDisplay = !locked->engines.providedDisplay;
    if (ended || noDisplay || (g.pendingResizePw == g.currentPw && g.pendingResizePh == g.currentPh && !g.fpsDirty)) {
      g.isReconfiguring = false;
      return;
    }
    pw = g.pendingResizePw;
    ph = g.pendingResizePh;
  }
  reconfigure(pw, ph);
  armReconfigureStep(reconfigureRepeatDelayUs);
}

FrameDownscaler::Frame HostSession::hqDownscaled(const FrameDownscaler::Frame& frame) {
  int64_t pw, ph;
  {
    Locked locked(*this);
    pw = locked->geometry.currentPw;
    ph = locked->geometry.currentPh;
  }
  return components_.downscaler->hqDownscaled(frame, pw, ph);
}

FrameDownscaler::Frame HostSession::softFiltered(const FrameDownscaler::Frame& frame) {
  int64_t permille;
  {
    Locked locked(*this);
    permille = locked->geometry.softPermille;
  }
  return components_.downscaler->softFiltered(frame, permille, tunables_.softReliefEnabled);
}

void HostSession::setHQDownscale(bool on) {
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    bool changed = g.hqDownscale != on;
    g.hqDownscale = on;
    if (!changed || g.baseW < 1 || mirror_) return;
  }
  runTask("vela.hqswitch", [on](HostSession& s) {
    std::shared_ptr<CaptureEngine> capture;
    std::pair<int64_t, int64_t> size;
    int64_t fps;
    {
      Locked locked(s);
      size = captureSizeForMode(locked->geometry, s.mirror_);
      fps = locked->geometry.targetFps;
      capture = locked->engines.capture;
    }
    if (capture) capture->updateSize(size.first, size.second, fps);
    Locked locked(s);
    locked->keyframes.forceKeyframeNext = true;
    locked.log(std::string("🔬 HQ downscale ") + (on ? "ON (Average, capture pełne backing)" : "OFF (skaler SCK)"));
  });
}

}  // namespace vela
