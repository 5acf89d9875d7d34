// The control loop's answers that belong to no other concern: ping, keyframe requests, long-term
// reference acknowledgements, resize requests, the client's path, clipboard and path-switch messages.
#include <string>
#include <utility>

#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/idr_request_limiter.hpp"
#include "hostcore/session/path_classification.hpp"
#include "hostcore/session/session_clamps.hpp"
#include "hostcore/session/session_time.hpp"

namespace vela {

void HostSession::answerPing(const std::shared_ptr<SessionTransport>& readFrom, const Ping& ping) {
  uint64_t t2 = nowUs();
  uint64_t t3 = nowUs();
  Locked locked(*this);
  uint16_t age = Pong::inputAgeMs(ageUs(t3, locked->identity.lastInputFlowPacketUs));
  locked.sendControlOn(readFrom, Pong{ping.t1, t2, t3, age});
}

void HostSession::handleResizeRequest(const ResizeRequest& request) {
  if (mirror_) return;  // the mirrored display's size is the Mac's, not the client's
  {
    Locked locked(*this);
    locked->geometry.baseW = evenClientSide(request.windowPxW);
    locked->geometry.baseH = evenClientSide(request.windowPxH);
    locked->geometry.lastResizeWindowPx =
        std::make_pair(boundedClientSide(request.windowPxW), boundedClientSide(request.windowPxH));
  }
  scheduleReconfigure();
}

void HostSession::handleIdrRequest(const std::optional<IdrRequest>& request) {
  Locked locked(*this);
  // A request that does not decode is taken as one for generation 0 that allows an LTR refresh.
  bool permitsRefresh = !request || request->generation == locked->identity.generation;
  switch (judgeIdrRequest(locked->keyframes, locked->adaptation, nowUs(), permitsRefresh)) {
    case IdrVerdict::skipped:
      if (int64_t skipped = locked->keyframes.idrSkipped; logsIdrSkip(skipped))
        locked.log("IDR_REQUEST zbyt częsty — limituję (pominięto " + std::to_string(skipped) + ")");
      break;
    case IdrVerdict::ltrRefresh:
      locked.log("IDR_REQUEST → LTR-refresh (bez pełnego IDR)");
      break;
    case IdrVerdict::forceKeyframe:
      locked.log("IDR_REQUEST → wymuszam keyframe");
      break;
  }
}

void HostSession::handleLtrAck(const LtrAck& ack) {
  Locked locked(*this);
  auto& keyframes = locked->keyframes;
  if (ack.generation != locked->identity.generation) return;
  auto token = keyframes.ltrWireToVT.find(ack.ltrToken);
  if (token == keyframes.ltrWireToVT.end()) return;
  keyframes.ltrAckedVTTokens.push_back(token->second);
  keyframes.ltrHaveAcked = true;
}

void HostSession::handleClientPath(const ClientPathMessage& path) {
  bool changed = false;
  {
    Locked locked(*this);
    auto previous = std::exchange(locked->adaptation.lastClientPath, path);
    changed = previous && *previous != path;
    locked.log(clientPathLine(path));
    if (!changed) return;
    // What the link taught us belongs to the old path.
    locked.log("📡 zmiana ścieżki → kasuję naukę łącza (proven/chroniczność/EWMA)");
    auto& a = locked->adaptation;
    a.reliefChronicUntilUs = 0;
    a.slowRecoveryUntilUs = 0;
    a.recvRateEwma = 0;
    a.rxEwmaSlow = 0;
    if (a.bitrateController) a.bitrateController->resetLearning();  // it has no lock of its own
  }
  components_.linkEstimator->reset();
  components_.fluidityGovernor->reset();
}

void HostSession::handleClipAnnounce(const ClipAnnounce& announce) {
  components_.clip->handleAnnounce(announce);
  if (auto cb = callbacks(); cb->onClipAnnounce)
    cb->onClipAnnounce(announce.clipId, announce.uti, announce.size, announce.name, announce.inline_);
}

void HostSession::handleClipRequest(const ClipRequest& request) {
  log("📋 ClipRequest #" + std::to_string(request.clipId) + " od klienta (od offset " +
      std::to_string(request.fromOffset) + ") → wysyłam dane");
  components_.clip->handleRequest(request);
}

HostSession::LoopStep HostSession::handleMbbAttach(const std::optional<MbbAttach>& attach) {
  // The transport now serves a second path of another session; this loop stops reading it either way.
  if (!attach) return LoopStep::endWithoutTeardown;
  {
    Locked locked(*this);
    locked->identity.helloSeen = true;
  }
  if (auto cb = callbacks(); cb->onMbbAttach) cb->onMbbAttach(*attach, shared_from_this());
  return LoopStep::endWithoutTeardown;
}

void HostSession::handleSwitchInfo(const SwitchInfo& info) {
  if (auto cb = callbacks(); cb->onSwitchInfo) cb->onSwitchInfo(info.text);
  log("🔀 [switch] " + info.text);
}

}  // namespace vela
