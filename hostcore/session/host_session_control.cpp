// Session start, the control loop with its dispatch table, and the hello watchdog.
#include <optional>

#include "hostcore/session/decode_or_nothing.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/session_threads.hpp"

namespace vela {

namespace {

constexpr const char* controlThreadName = "vela.control";
// Message types at or above this belong to no control record.
constexpr uint8_t firstUnknownControlType = 50;

}  // namespace

void HostSession::start() {
  auto self = shared_from_this();
  std::weak_ptr<HostSession> weak = self;
  std::shared_ptr<SessionTransport> transport;
  {
    Locked locked(*this);
    transport = locked->path.effectiveTransport();
    auto& scheduler = *deps_.scheduler;
    locked->identity.helloWatchdog = tavlo::ScopedTimer(scheduler, scheduler.after(helloTimeoutUs, [weak] {
      if (auto session = weak.lock()) session->helloWatchdogFired();
    }));
  }
  startSessionThread(controlThreadName, [self = std::move(self), transport = std::move(transport)]() mutable {
    runControlLoop(std::move(self), std::move(transport));
  });
}

void HostSession::helloWatchdogFired() {
  std::shared_ptr<SessionTransport> transport;
  {
    Locked locked(*this);
    if (locked->identity.helloSeen) return;
    locked->identity.disconnected = true;
    transport = locked->path.effectiveTransport();
    locked.log("⏱️ brak CLIENT_HELLO w 8 s — zamykam wiszący transport");
  }
  // The teardown that follows when the control stream ends finds `disconnected` set and does nothing.
  transport->close();
}

// Reads the control stream until it ends. Until the hello has been handled the loop owns the session (a
// client being admitted keeps its session alive); from then on the owner does, and the loop holds it
// weakly, ending at the next packet once it is gone (the session's destructor closes the transport, so
// the stream ends then too).
void HostSession::runControlLoop(std::shared_ptr<HostSession> owner, std::shared_ptr<SessionTransport> transport) {
  std::weak_ptr<HostSession> weak = owner;
  auto current = [&] { return owner ? owner : weak.lock(); };
  if (owner->helloSeen()) owner.reset();  // a loop started on a promoted path never owns the session
  PacketStream& incoming = transport->control().incoming();
  while (auto packet = incoming.receive()) {
    auto session = current();
    if (!session) return;
    if (session->handleControlPacket(transport, *packet) == LoopStep::endWithoutTeardown) return;
    if (owner && session->helloSeen()) owner.reset();
  }
  auto session = current();
  if (!session) return;
  // A session moved to a promoted path meanwhile is torn down by that path's loop, not by this one.
  if (session->transport() == transport) session->handleClientDisconnect();
}

HostSession::LoopStep HostSession::handleControlPacket(const std::shared_ptr<SessionTransport>& readFrom,
                                                       ByteView packet) {
  std::optional<RawPacket> raw;
  try {
    raw = RawPacket::decode(packet);
  } catch (const WireError&) {
    return LoopStep::carryOn;  // a header that does not decode is dropped silently
  }
  {
    Locked locked(*this);
    locked->identity.lastClientPacketUs = nowUs();  // every decodable packet is client activity
  }
  uint8_t type = raw->header.msgType;
  if (type == 0 || type >= firstUnknownControlType) return LoopStep::carryOn;

  switch (type) {
    case ControlType::clientHello:
      if (auto hello = decodeOrNothing<ClientHello>(*raw)) handleHello(*hello);
      break;
    case ControlType::ping:
      if (auto ping = decodeOrNothing<Ping>(*raw)) answerPing(readFrom, *ping);
      break;
    case ControlType::bye: {
      Locked locked(*this);
      locked->identity.sawBye = true;  // the loop goes on until the stream ends
      break;
    }
    case ControlType::resizeRequest:
      if (auto request = decodeOrNothing<ResizeRequest>(*raw)) handleResizeRequest(*request);
      break;
    case ControlType::idrRequest:
      handleIdrRequest(decodeOrNothing<IdrRequest>(*raw));  // an undecodable one still counts
      break;
    case ControlType::ltrAck:
      if (auto ack = decodeOrNothing<LtrAck>(*raw)) handleLtrAck(*ack);
      break;
    case ControlType::clientState:
      if (auto state = decodeOrNothing<ClientStateMessage>(*raw)) applyClientState(*state);
      break;
    case ControlType::login:
      if (auto request = decodeOrNothing<LoginRequest>(*raw)) handleLoginRequest(*request);
      break;
    case ControlType::clientLog:
      if (auto line = decodeOrNothing<ClientLogMessage>(*raw)) log("📱 [klient] " + line->text);
      break;
    case ControlType::clientPath:
      if (auto path = decodeOrNothing<ClientPathMessage>(*raw)) handleClientPath(*path);
      break;
    case ControlType::camConfig:
      if (auto config = decodeOrNothing<CamConfig>(*raw)) handleCamConfig(*config);
      break;
    case ControlType::clipAnnounce:
      if (auto announce = decodeOrNothing<ClipAnnounce>(*raw)) handleClipAnnounce(*announce);
      break;
    case ControlType::clipRequest:
      if (auto request = decodeOrNothing<ClipRequest>(*raw)) handleClipRequest(*request);
      break;
    case ControlType::clipData:
      if (auto piece = decodeOrNothing<ClipData>(*raw)) components_.clip->handleData(*piece);
      break;
    case ControlType::mbbAttach:
      return handleMbbAttach(decodeOrNothing<MbbAttach>(*raw));
    case ControlType::switchInfo:
      if (auto info = decodeOrNothing<SwitchInfo>(*raw)) handleSwitchInfo(*info);
      break;
    default:
      break;  // no row: ignored
  }
  return LoopStep::carryOn;
}

}  // namespace vela
