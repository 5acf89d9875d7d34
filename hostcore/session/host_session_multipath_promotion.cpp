// A second path becomes the session's primary path: its header numbers and path facts replace the old
// ones, the old primary transport is closed, the loops move to the new one and the client's device state
// is sent again on it.
#include <algorithm>
#include <string>
#include <utility>

#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/path_classification.hpp"
#include "hostcore/session/session_threads.hpp"

namespace vela {

namespace {

constexpr const char* promotedControlThreadName = "vela.control";

const char* onOff(bool on) { return on ? "ON" : "off"; }

// Teardown has begun or the owner has closed the session: no path becomes primary any more.
bool isEnding(const SessionState& s) { return s.identity.disconnected || s.path.transportCancelled; }

}  // namespace

void HostSession::promoteToPrimary(const std::shared_ptr<HostSink>& sink) {
  std::shared_ptr<SessionTransport> oldPrimary;
  // A path the user switched off after it attached never carries the session: asked before the hold,
  // since the owner's answer is a callback.
  const auto allowed = callbacks()->isPathAllowed;
  const bool refused = allowed && !allowed(sink->transport()->remoteDescription());
  {
    Locked locked(*this);
    auto& path = locked->path;
    auto& sinks = path.secondarySinks;
    if (path.promotedSink == sink || std::find(sinks.begin(), sinks.end(), sink) == sinks.end()) return;
    std::erase(sinks, sink);
    if (refused) {
      locked.later([sink] { sink->transport()->close(); });
      locked.log("🚫 promocja odrzucona — tor " + classifyPath(sink->transport()->remoteDescription()) +
                 " wyłączony (sessionId " + std::to_string(sink->sessionId()) + "); sink odłączony");
      return;
    }
    if (isEnding(locked.state())) {
      // The path would be promoted into a session that is going, and the loop that read it ends here, so
      // it is closed.
      locked.later([sink] { sink->transport()->close(); });
      return;
    }
    oldPrimary = path.effectiveTransport();
  }
  // Waits for what is queued on the path, so that no datagram of it is numbered twice; never under the
  // session mutex.
  uint32_t nextSeq = sink->snapshotVideoSeq();
  std::string description = sink->transport()->remoteDescription();
  std::string kind = classifyPath(description);
  std::shared_ptr<SessionTransport> newPrimary = sink->transport();
  std::shared_ptr<HostSink> replaced;  // an earlier promoted path, let go of after the release
  {
    Locked locked(*this);
    if (isEnding(locked.state())) {
      // The old path ended (and tore the session down), or the owner closed the session, while the
      // promotion waited on the path's queue: the path was taken off the list above, so nobody else
      // closes it.
      locked.later([newPrimary] { newPrimary->close(); });
      return;
    }
    auto& path = locked->path;
    auto& identity = locked->identity;
    replaced = std::exchange(path.promotedSink, sink);
    identity.sessionId = sink->sessionId();
    identity.videoSeq = nextSeq;
    path.relayedSession = isRelayedDescription(description);
    path.lanSession = kind == PathKind::lan;
    identity.clientVpn = sink->viaVPN();
    if (sink->viaVPN()) {
      path.lanSession = false;
      locked.log("🔒 promocja tor VPN → pacing WAN + „VPN”");
    }
    locked->keyframes.forceKeyframeNext = true;
    locked->keyframes.rescueIdrDupPending = true;
    if (path.lanSession) {
      // What the adaptation learnt belongs to the old path.
      auto& a = locked->adaptation;
      a.fbLagEwmaUs = 0;
      a.recvRateEwma = 0;
      a.rxEwmaSlow = 0;
      a.wanLink = false;
    }
    locked.log("🔀 PROMOCJA: tor " + kind + " jest teraz główny (sessionId " + std::to_string(sink->sessionId()) +
               ")");
  }
  // Its loops end with their streams; the control loop's end finds the session on another transport and
  // tears nothing down.
  oldPrimary->close();
  startSessionThread(promotedControlThreadName, [self = shared_from_this(), newPrimary]() mutable {
    runControlLoop(std::move(self), std::move(newPrimary));
  });
  startUplinkLoops();  // the uplink and input loops follow the control loop to the new path
  replayDeviceState();
}

void HostSession::replayDeviceState() {
  Locked locked(*this);
  const auto& media = locked->media;
  auto level = [](int64_t index, int count) { return static_cast<int>(std::clamp<int64_t>(index, 0, count - 1)); };
  if (media.lastMicOn) {
    locked.sendControl(MicControl{*media.lastMicOn});
    if (*media.lastMicOn && media.lastMicQualityIdx)
      locked.sendControl(MicQuality::forLevel(level(*media.lastMicQualityIdx, MicQuality::levelCount)));
  }
  if (media.lastCamOn) {
    locked.sendControl(CamControl{*media.lastCamOn});
    if (*media.lastCamOn && media.lastCamQualityIdx)
      locked.sendControl(CamQuality::forLevel(level(*media.lastCamQualityIdx, CamQuality::levelCount)));
  }
  bool micOn = media.lastMicOn.value_or(false);
  bool camOn = media.lastCamOn.value_or(false);
  if (micOn || camOn)
    locked.log(std::string("🔀 po promocji odtworzyłem stan urządzeń klienta (mic ") + onOff(micOn) + ", cam " +
               onOff(camOn) + ")");
}

}  // namespace vela
