// Reconfiguration: the encoder and the bitrate controller rebuilt for a new coded size (a new
// video configuration generation), the display brought to the mode first, capture and input following.
#include <algorithm>
#include <string>
#include <tuple>
#include <utility>

#include "hostcore/engines/capture_engine.hpp"
#include "hostcore/engines/encoder_engine.hpp"
#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/capture_size.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

// A new encoder starts at this rate when there is no controller to ask.
constexpr int64_t rebuildStartBps = 12'000'000;
// The user's wire cap in kbit/s; below the minimum there is none.
constexpr const char* wireCapKey = "tl.wireCapKbps";
constexpr int64_t minWireCapKbps = 100;

int64_t scaledSide(double scale, int64_t base) {
  return tavlo::truncateSaturating<int64_t>(scale * static_cast<double>(base));
}

// The encoder's bitrate floor for a coded size: what keeps a picture at the keyframe interval in force.
int64_t encoderFloorBps(int64_t pw, int64_t ph, double keyframeSec) {
  const double px = static_cast<double>(pw) * static_cast<double>(ph);
  const double floor = 0.8 * (px * 0.0073 * 60 + px * 0.2 / std::max(keyframeSec, 0.1));
  return std::clamp<int64_t>(tavlo::truncateSaturating<int64_t>(floor), 800'000, 2'500'000);
}

std::optional<int64_t> wireCapBps(const tavlo::Settings& settings) {
  int64_t kbps = settings.getInt(wireCapKey).value_or(0);
  if (kbps < minWireCapKbps) return std::nullopt;
  return tavlo::saturatingMul(kbps, 1000);
}

}  // namespace

std::shared_ptr<EncoderEngine> HostSession::makeStreamEncoder(int64_t pw, int64_t ph, int64_t fps, int64_t bitrate,
                                                               double keyframeSec) {
  std::weak_ptr<HostSession> weak = weak_from_this();
  // The same output handler, log and statistics as engine setup gives its encoder, for the new size.
  auto encoder = deps_.engines->makeEncoderEngine(pw, ph, fps, bitrate, keyframeSec,
                                                  [weak, pointsW = pw / 2, pointsH = ph / 2](const EncodedFrame& frame) {
                                                    if (auto self = weak.lock()) self->handleEncoded(frame, pointsW, pointsH);
                                                  });
  std::shared_ptr<CaptureEngine> capture;
  {
    Locked locked(*this);
    capture = locked->engines.capture;
  }
  if (capture) {
    wireEngines(encoder, capture, pw, ph);
  } else {
    encoder->setOnLog([weak](const std::string& line) {
      if (auto self = weak.lock()) self->log(line);
    });
  }
  return encoder;
}

void HostSession::reconfigure(int64_t pw, int64_t ph) {
  std::optional<ProvidedDisplay> provided;
  double scale;
  int64_t bw, bh;
  std::shared_ptr<EncoderEngine> old;
  {
    Locked locked(*this);
    provided = locked->engines.providedDisplay;
    if (!provided) return;
    scale = locked->geometry.scaleS;
    bw = locked->geometry.baseW;
    bh = locked->geometry.baseH;
    locked.log("resize → capture " + std::to_string(pw) + "×" + std::to_string(ph));
    // From here frames find no encoder until the new one is installed.
    old = std::exchange(locked->engines.encoder, nullptr);
  }
  if (old) old->invalidate();

  std::shared_ptr<CaptureEngine> capture;
  std::pair<int64_t, int64_t> captureSize{pw, ph};
  int64_t fps;
  if (!mirror_) {
    // Refused (the session is ending, or 15 s of another session's display work): capture and encoder
    // still follow the new size on the display as it is.
    if (auto lease = takeDisplayGate("ensureDisplayMode")) ensureDisplayModeGated(bw, bh, scale);
  }
  {
    Locked locked(*this);
    capture = locked->engines.capture;
    fps = locked->geometry.targetFps;
    if (!mirror_) {
      // The client's window may ask for more than the display could take: the stream is never larger
      // than the display it is captured from, and the pending size follows so the task does not rebuild
      // again for a size it can never reach.
      auto& g = locked->geometry;
      const auto asked = std::pair{pw, ph};
      std::tie(pw, ph) = fitWithin(pw, ph, g.displayPixelW, g.displayPixelH);
      if (std::pair{g.pendingResizePw, g.pendingResizePh} == asked) {
        g.pendingResizePw = pw;
        g.pendingResizePh = ph;
      }
      GeometryState next = g;
      next.currentPw = pw;
      next.currentPh = ph;
      captureSize = captureSizeForMode(next, false);
    }
  }
  if (capture) capture->updateSize(captureSize.first, captureSize.second, fps);

  uint32_t displayID = provided->displayID;
  std::shared_ptr<InputInjector> injector;
  double interval;
  {
    Locked locked(*this);
    if (locked->engines.providedDisplay) displayID = locked->engines.providedDisplay->displayID;
    injector = locked->engines.injector;
    interval = keyframeIntervalInForce(locked->keyframes);
  }
  auto points = mirror_ ? std::pair<int64_t, int64_t>{0, 0}
                        : realDisplayPoints(displayID, scaledSide(scale, bw) / 2, scaledSide(scale, bh) / 2);
  if (injector) injector->setDisplay(displayID, points.first, points.second);

  auto encoder = makeStreamEncoder(pw, ph, fps, rebuildStartBps, interval);
  const auto cap = wireCapBps(*deps_.settings);
  bool ended;
  {
    Locked locked(*this);
    auto& s = locked.state();
    // Torn down or closed meanwhile: nothing may outlive the session, least of all a new encoder.
    ended = s.identity.disconnected || s.path.transportCancelled;
    if (!ended) {
      s.identity.generation = static_cast<uint16_t>(s.identity.generation + 1);
      s.send.configSent = false;
      s.geometry.fpsDirty = false;
      auto& k = s.keyframes;
      k.ltrPendingRefresh = false;
      k.ltrHaveAcked = false;
      k.ltrAckedVTTokens.clear();
      k.ltrWireToVT.clear();
      k.ltrNextWire = 0;
      k.forceKeyframeNext = true;
      ++k.kfEpoch;
      s.geometry.currentPw = pw;
      s.geometry.currentPh = ph;
      s.engines.providedDisplay = ProvidedDisplay{displayID, pw, ph};
      s.engines.encoder = encoder;
      auto& w = s.warm;
      w.warmPxW = pw;
      w.warmPxH = ph;
      w.warmFps = s.geometry.targetFps;
      w.warmDisplayID = displayID;
      if (auto window = s.geometry.lastResizeWindowPx) std::tie(w.warmHelloW, w.warmHelloH) = *window;

      auto& a = s.adaptation;
      int64_t start = a.bitrateController ? a.bitrateController->appliedBitrate() : rebuildStartBps;
      int64_t proven = a.bitrateController ? a.bitrateController->provenRateBps() : 0;
      double floorInterval = keyframeIntervalInForce(k);
      a.bitrateController = std::make_unique<BitrateController>(
          pw, ph, s.geometry.targetFps, start, encoderFloorBps(pw, ph, floorInterval), cap, *deps_.settings);
      a.bitrateController->plateau = a.wanLink;
      if (proven >= 1) a.bitrateController->seedProven(proven);
      a.lastSetBitrate = 0;
      a.lastAppliedMaxQP = AdaptationState::defaultMaxQP;
      a.lastDataRateShort = -1;
      a.overshootEwma = 1.0;
      a.ovsWarmupTicks = 0;
      locked.log("✅ rekonfiguracja gen " + std::to_string(s.identity.generation) + ": " + std::to_string(pw) + "×" +
                 std::to_string(ph));
    }
  }
  if (ended && encoder) encoder->invalidate();
}

}  // namespace vela
