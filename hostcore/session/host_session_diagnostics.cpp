// The diagnostics snapshot, built at the end of every feedback window while the owner listens.
#include <algorithm>
#include <cmath>

#include "hostcore/session/host_session_feedback.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/keyframe_policy.hpp"
#include "hostcore/session/path_classification.hpp"
#include "media/opus_encoder.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

using tavlo::truncateSaturating;

constexpr uint64_t minSentWindowUs = 200'000;  // a shorter window reports its frame count as is
constexpr int64_t bytesPerKbit = 125;          // bytes of a window × 8 / 1000
constexpr int64_t qpPressureBase = 34;
constexpr double qpPressureSpan = 17;

int64_t asInt(double value) { return truncateSaturating<int64_t>(value); }

std::string audioDescription(const MediaDevicesState& m) {
  if (m.audioCutByLink) return "🔇 zator";
  if (m.opusEncoder && m.clientOpusCapable && !m.opusBroken) {
    return std::string("Opus ") + (m.opusEncoder->channels() == 2 ? "st" : "mono") + " " +
           std::to_string(m.opusEncoder->bitrate() / 1000) + "k";
  }
  static constexpr const char* pcmRungs[] = {"PCM 48k st", "PCM 48k mono", "PCM 24k mono", "PCM 16k mono"};
  return pcmRungs[std::clamp<int64_t>(m.audioMode, 0, 3)];
}

std::string cameraDescription(const MediaDevicesState& m) {
  if (!m.clientCamCapable) return "—";
  if (!m.mediaGateCam) return "OFF";
  if (m.camCfgW < 1) return "start…";
  std::string text = std::to_string(m.camCfgW) + "×" + std::to_string(m.camCfgH) + "@" + std::to_string(m.camCfgFps);
  if (m.camQualityIdx >= 0) {
    CamQuality rung = CamQuality::forLevel(static_cast<int>(std::min<int64_t>(m.camQualityIdx, CamQuality::levelCount - 1)));
    text += " · cel " + std::to_string(rung.maxWidth) + "p " + std::to_string(rung.bitrateKbps) + "k";
  }
  return text;
}

std::string microphoneDescription(const MediaDevicesState& m) {
  if (!m.clientMicCapable) return "—";
  if (!m.mediaGateMic) return "OFF";
  if (m.micQualityIdx < 0) return "Opus 64k";
  MicQuality rung = MicQuality::forLevel(static_cast<int>(std::min<int64_t>(m.micQualityIdx, MicQuality::levelCount - 1)));
  return "Opus " + std::to_string(rung.bitrateKbps) + "k";
}

}  // namespace

DiagSnapshot HostSession::fillSnapshotLocked(SessionState& s, const FeedbackWindow& w, const FrameFeedback& fb,
                                             int64_t encoderMaxQP, uint64_t now) const {
  DiagSnapshot d;
  const auto& g = s.geometry;
  auto& diag = s.diag;
  const auto& a = s.adaptation;
  d.streamW = g.currentPw;
  d.streamH = g.currentPh;
  d.targetFps = g.targetFps;
  d.generation = s.identity.generation;
  d.scale = g.scaleS;
  d.force1x = g.force1xActive;
  d.surfaceRung = g.streamScaleActive;
  d.surfaceFloor = g.ladderRungs.empty() ? 1.0 : g.ladderRungs.back();
  d.sckFps = diag.diagSckFps;
  d.sckIntervalMs = diag.diagSckIntervalMs;
  d.encodeDrop = diag.diagDrop;
  d.encAvgMs = diag.diagEncAvgMs;
  d.encMaxMs = diag.diagEncMaxMs;
  d.kfAdaptive = s.keyframes.kfAdaptive;
  d.kfSec = keyframeIntervalInForce(s.keyframes);
  d.softPermille = g.softPermille;
  d.softFps = g.softFpsTarget;
  d.encFpsCapNow = g.encFpsCap;
  d.cascadeStage = g.cascadeStageNow;
  d.deficitPct = g.cascadeDeficitPct;
  d.motionPct = asInt(g.motionEwma * 100);
  d.radioTolerant = a.radioTolerant;
  d.lossBasePct = asInt(a.rawLossSlowEwma * 100);

  d.audioTxKbps = diag.diagAudioBytes / bytesPerKbit;
  d.camRxKbps = diag.diagCamBytes / bytesPerKbit;
  d.micRxKbps = diag.diagMicBytes / bytesPerKbit;
  diag.diagAudioBytes = diag.diagCamBytes = diag.diagMicBytes = 0;
  int64_t frames = diag.diagTxFrames;
  int64_t bytes = diag.diagTxBytes;
  if (diag.diagSentWindowUs != 0 && now > diag.diagSentWindowUs && now - diag.diagSentWindowUs > minSentWindowUs) {
    double elapsed = static_cast<double>(now - diag.diagSentWindowUs);
    d.sentFps = tavlo::roundChecked<int64_t>(static_cast<double>(frames) * 1'000'000 / elapsed).value_or(0);
  } else {
    d.sentFps = frames;
  }
  d.audioDesc = audioDescription(s.media);
  d.camDesc = cameraDescription(s.media);
  d.micDesc = microphoneDescription(s.media);

  if (frames > 0 && g.currentPw >= 1) {
    double area = static_cast<double>(g.currentPw) * static_cast<double>(g.currentPh);
    d.txKbps = bytes * 8 / 1000;
    d.avgFrameKB = static_cast<double>(bytes) / static_cast<double>(frames) / 1024;
    d.bpp = static_cast<double>(bytes * 8) / (area * static_cast<double>(frames));
    d.ratio = bytes > 0 ? asInt(area * 1.5 * static_cast<double>(frames) / static_cast<double>(bytes)) : 0;
  }

  // An empty path is filled in after the release, from the transport's description.
  d.path = s.identity.clientVpn ? "VPN" : "";
  d.rxKbps = fb.recvRateKbps;
  d.appliedMbps = a.bitrateController ? static_cast<double>(a.bitrateController->appliedBitrate()) / 1'000'000 : 0;
  d.lost60 = w.lost;
  d.fecLossPct = asInt(a.fecLossEwma * 100);
  d.nack = w.nackSum;
  d.fecRedundancyPct = asInt(a.fecRatioEwma * 100);
  double repaired = a.fecRecoveredEwma + a.fecFailedEwma;
  d.fecRecoveredPct = repaired <= 0.0001 ? 100 : asInt(a.fecRecoveredEwma / repaired * 100);
  d.fecResidualPct = asInt(a.fecFailedEwma * 100);
  d.regime = linkRegimeName(w.link.regime);
  if (w.decision.engaged) {
    int64_t capK = w.decision.capBps == GovernorDecision::noCap ? 0 : w.decision.capBps / 1000;
    d.clog = "P" + std::to_string(w.decision.phase) + "/" + std::to_string(capK) + "k";
  }
  d.qp = encoderMaxQP;
  d.pressure = std::max(w.decision.pressure,
                        static_cast<double>(std::max<int64_t>(0, encoderMaxQP - qpPressureBase)) / qpPressureSpan);
  d.asmAvgMs = w.assembleSumUs / w.samples / 1000;
  d.asmMaxMs = w.assembleMaxUs / 1000;
  d.decAvgMs = w.decodeSumUs / w.samples / 1000;
  d.decMaxMs = w.decodeMaxUs / 1000;
  return d;
}

void HostSession::deliverSnapshot(DiagSnapshot snapshot) {
  if (snapshot.path.empty()) snapshot.path = classifyPath(transport()->remoteDescription());
  // The display's mode comes from the window system, asked here, after the session's lock was released.
  std::optional<ProvidedDisplay> provided;
  {
    Locked locked(*this);
    provided = locked->engines.providedDisplay;
  }
  if (provided && deps_.windowSystem) {
    if (auto mode = deps_.windowSystem->currentMode(provided->displayID)) {
      snapshot.modePtW = mode->width;
      snapshot.modePtH = mode->height;
      snapshot.modePxW = mode->pixelWidth;
      snapshot.modePxH = mode->pixelHeight;
    }
  }
  if (auto cb = callbacks(); cb->onDiagnostics) cb->onDiagnostics(snapshot);
}

}  // namespace vela
