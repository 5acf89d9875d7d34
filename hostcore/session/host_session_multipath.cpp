// Second paths of a session (make-before-break): the hand-over of a transport, the attachment, each
// second path's control loop, detachment and the diagnostic force-path command. The promotion of a
// second path to primary is in host_session_multipath_promotion.cpp.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "hostcore/session/decode_or_nothing.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/path_classification.hpp"
#include "hostcore/session/session_threads.hpp"

namespace vela {

namespace {

constexpr const char* sinkThreadName = "vela.sinkloop";

const char* forcePathName(uint8_t path) {
  switch (path) {
    case ForcePath::automatic: return "auto";
    case ForcePath::lan: return "LAN";
    case ForcePath::nat: return "NAT";
    case ForcePath::relay: return "relay";
    case ForcePath::vpn: return "VPN";
    default: return "?";
  }
}

}  // namespace

std::shared_ptr<SessionTransport> HostSession::donateTransportForMbb() {
  Locked locked(*this);
  locked->identity.donated = true;
  return locked->path.effectiveTransport();
}

void HostSession::attachSecondarySink(std::shared_ptr<SessionTransport> transport, uint32_t sessionId, bool viaVPN) {
  auto sink = std::make_shared<HostSink>(std::move(transport), sessionId, viaVPN);
  {
    Locked locked(*this);
    if (locked->identity.disconnected || locked->path.transportCancelled) {
      // The session is going: nobody would ever detach the path, so it is closed instead of kept.
      locked.later([sink] { sink->transport()->close(); });
      return;
    }
    // The configuration replay and the list entry change in one hold, the same one in which the send
    // path stores a new configuration and forwards it to the listed paths: the path gets either the
    // configuration in force now or the next one, and never an older one after a newer one.
    const auto& send = locked->send;
    if (send.lastHvcc && send.lastCodedPx.first != 0) {
      sink->sendConfig(VideoConfig{locked->identity.generation, send.lastCodedPx.first, send.lastCodedPx.second,
                                   send.lastPointsPx.first, send.lastPointsPx.second, VideoCodec::hevc8, 8,
                                   static_cast<uint16_t>(locked->geometry.targetFps), *send.lastHvcc});
    }
    locked->path.secondarySinks.push_back(sink);
    // The next frame is a keyframe, so that the new path can decode from it on.
    locked->keyframes.forceKeyframeNext = true;
    locked->keyframes.rescueIdrDupPending = true;
    locked.log("🔀 wtórny sink dołączony (sessionId " + std::to_string(sessionId) +
               ") — fan-out wideo aktywny, wymuszam IDR");
  }
  startSessionThread(sinkThreadName, [weak = weak_from_this(), sink]() mutable {
    runSinkControlLoop(std::move(weak), std::move(sink));
  });
}

// Reads the second path's control stream until the client promotes the path, says bye or the stream
// ends. Holds the session and the sink weakly: the session owns its sinks, and a sink that goes (with
// its session or its detachment) closes its transport, which ends this loop.
void HostSession::runSinkControlLoop(std::weak_ptr<HostSession> weak, std::shared_ptr<HostSink> strongSink) {
  std::weak_ptr<HostSink> weakSink = strongSink;
  uint32_t sessionId = strongSink->sessionId();
  std::shared_ptr<SessionTransport> transport = strongSink->transport();
  strongSink.reset();
  PacketStream& incoming = transport->control().incoming();
  while (auto packet = incoming.receive()) {
    auto session = weak.lock();
    auto sink = weakSink.lock();
    if (!session || !sink) return;
    if (session->handleSinkPacket(sink, *packet) == LoopStep::endWithoutTeardown) return;
  }
  if (auto session = weak.lock()) session->detachSecondarySink(sessionId);
}

HostSession::LoopStep HostSession::handleSinkPacket(const std::shared_ptr<HostSink>& sink, ByteView packet) {
  std::optional<RawPacket> raw;
  try {
    raw = RawPacket::decode(packet);
  } catch (const WireError&) {
    return LoopStep::carryOn;  // a header that does not decode is skipped
  }
  uint64_t now = nowUs();
  {
    Locked locked(*this);
    // A client that talks only on the new path keeps the session alive.
    locked->identity.lastClientPacketUs = now;
  }
  switch (raw->header.msgType) {
    case ControlType::ping:
      try {
        Ping ping = raw->decodePayload<Ping>();
        // The unreliable-input flow of this path is not watched, so its age is not known.
        sink->sendControl(encodePacket(Pong{ping.t1, now, now, Pong::unknownAge}, sink->sessionId(), 0));
      } catch (const WireError&) {
      }
      return LoopStep::carryOn;
    case ControlType::bye:
      detachSecondarySink(sink->sessionId());
      return LoopStep::endWithoutTeardown;
    case ControlType::idrRequest:
      // The same limiter as on the primary path: a second path is no way around it.
      handleIdrRequest(decodeOrNothing<IdrRequest>(*raw));
      return LoopStep::carryOn;
    case ControlType::mbbPromote:
      promoteToPrimary(sink);
      // The session's own control loop reads this path from now on (or, when the promotion was refused,
      // the path has been closed).
      return LoopStep::endWithoutTeardown;
    default:
      return LoopStep::carryOn;
  }
}

void HostSession::detachSecondarySink(uint32_t sessionId) {
  HostSinks removed;
  {
    Locked locked(*this);
    auto& sinks = locked->path.secondarySinks;
    for (auto it = sinks.begin(); it != sinks.end();) {
      if ((*it)->sessionId() == sessionId) {
        removed.push_back(std::move(*it));
        it = sinks.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& sink : removed) sink->transport()->close();
  if (!removed.empty()) log("🔀 wtórny sink odłączony (sessionId " + std::to_string(sessionId) + ")");
}

void HostSession::detachAllSecondarySinks() {
  HostSinks removed;
  {
    Locked locked(*this);
    removed = std::exchange(locked->path.secondarySinks, {});
  }
  for (const auto& sink : removed) sink->transport()->close();
  if (!removed.empty()) log("🔀 wszystkie wtórne sinki odłączone (" + std::to_string(removed.size()) + ")");
}

void HostSession::detachDisallowedSecondarySinks() {
  auto allowed = callbacks()->isPathAllowed;
  if (!allowed) return;
  HostSinks attached;
  {
    Locked locked(*this);
    attached = locked->path.secondarySinks;
  }
  // The owner's answers are callbacks: asked without the mutex, then the refused paths that are still
  // attached are taken off.
  HostSinks refused;
  for (const auto& sink : attached) {
    if (!allowed(sink->transport()->remoteDescription())) refused.push_back(sink);
  }
  if (refused.empty()) return;
  HostSinks removed;
  {
    Locked locked(*this);
    auto& sinks = locked->path.secondarySinks;
    for (const auto& sink : refused) {
      auto it = std::find(sinks.begin(), sinks.end(), sink);
      if (it == sinks.end()) continue;  // detached or promoted meanwhile
      removed.push_back(sink);
      sinks.erase(it);
    }
  }
  for (const auto& sink : removed) {
    sink->transport()->close();
    log("🔀 wtórny sink odłączony (sessionId " + std::to_string(sink->sessionId()) + ") — tor " +
        classifyPath(sink->transport()->remoteDescription()) + " wyłączony");
  }
}

void HostSession::sendForcePath(uint8_t path) {
  Locked locked(*this);
  locked.sendControl(ForcePath{path});
  locked.log(std::string("🧪 FORCE_PATH → klient: ") + forcePathName(path));
}

}  // namespace vela
