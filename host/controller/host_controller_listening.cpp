// Listening and accepting: the port block, the listener, the identity publication, the reachability
// steps and the accept loop, then the path check and the encrypting wrapper for every transport.
#include <system_error>

#include "e2e/e2e_host_handshake.hpp"
#include "e2e/e2e_trust.hpp"
#include "e2e/encrypted_transport.hpp"
#include "host/controller/host_controller.hpp"
#include "transport/host_listener.hpp"
#include "transport/transport_error.hpp"

namespace tavlo {

void HostController::startListening() {
  if (listener_ || portSearchTimer_.isArmed()) return;
  startResourceMonitor();

  const HostControllerSeams& seams = deps_.seams;
  if (seams.setDisplayLogSink) {
    std::weak_ptr<HostController> weak = weak_from_this();
    MainExecutor* main = &deps_.main;
    // The display controller's lines go to the file only.
    seams.setDisplayLogSink([weak, main](const std::string& message) {
      main->post([weak, message] {
        if (auto self = weak.lock()) self->fileLog("🖥️ " + message);
      });
    });
  }
  // The lock watch starts before the port search, which can hold start-up for 40 s: a lock meanwhile
  // is not missed. It reads the lock state off this executor and reports when it has it; without a
  // watch the state is asked for here.
  if (seams.watchScreen) {
    watchScreen();
  } else {
    checkLockedAtStart();
  }

  searchPortBlock(0);
}

void HostController::searchPortBlock(int pauses) {
  // A busy preferred block is waited for on timers: the main executor goes on meanwhile.
  if (exiting_ || listener_) return;
  std::optional<PortBlockSearch::Result> found = PortBlockSearch(deps_.portProbe).test(deps_.preferredPort, pauses);
  if (!found) {
    std::weak_ptr<HostController> weak = weak_from_this();
    MainExecutor* main = &deps_.main;
    auto id = deps_.scheduler.after(PortBlockSearch::retryPauseUs, [weak, main, pauses] {
      onMain(*main, weak, [pauses](HostController& self) { self.searchPortBlock(pauses + 1); });
    });
    portSearchTimer_ = ScopedTimer(deps_.scheduler, id);
    return;
  }
  portSearchTimer_.cancel();
  listenOn(*found);
}

void HostController::listenOn(const PortBlockSearch::Result& found) {
  portScanDiag_ = found.note;
  if (!startListener(found.base)) return;
  if (!portScanDiag_.empty()) {
    log("🔢 wybór portu: " + portScanDiag_);
    portScanDiag_.clear();
  }
  startReachability(found.base);

  std::weak_ptr<HostController> weak = weak_from_this();
  acceptLoop_ = std::make_unique<AcceptLoop>(listener_, deps_.main,
                                             [weak](std::shared_ptr<vela::SessionTransport> transport) {
                                               if (auto self = weak.lock()) {
                                                 self->acceptTransport(std::move(transport));
                                               } else {
                                                 transport->close();
                                               }
                                             });
}

bool HostController::startListener(uint16_t base) {
  std::shared_ptr<vela::TransportListener> listener;
  if (deps_.makeListener) {
    listener = deps_.makeListener(logSink());
  } else {
    auto direct = vela::HostListener::create(&deps_.scheduler);
    direct->setOnLog(logSink());
    // A connection gets its flows only once its first packet is a hello that passes this host's gate:
    // a flood of connections that never speak then never holds a client's flows.
    if (!identity_) identity_ = deps_.identity();
    direct->setProofCheck([identity = identity_](ByteView packet) {
      using Gate = vela::E2EHostHandshake::GateVerdict;
      const Gate verdict = vela::E2EHostHandshake::checkGate(*identity, packet);
      vela::HostListener::FirstPacketVerdict result;
      result.proved = verdict == Gate::passed;
      if (verdict == Gate::refused) result.refusalLine = vela::E2EHostHandshake::refusedLine;
      return result;
    });
    listener = direct;
  }
  std::string description;
  std::string text;
  try {
    listener->start(base);
  } catch (const vela::TransportError& e) {
    description = e.describe();
    text = e.what();
  } catch (const std::exception& e) {
    description = e.what();
    text = e.what();
  }
  if (!text.empty()) {
    status.set("Listen error: " + description);
    log("❌ start nasłuchu: " + text);
    return false;
  }
  listener_ = std::move(listener);
  controlPortInUse_ = base;  // first: observers of isListening read it
  isListening.set(true);
  status.set("Listening on port " + std::to_string(base));
  log("host nasłuchuje (control " + std::to_string(base) + ", video " + std::to_string(base + 1) + ", audio " +
      std::to_string(base + 2) + ", input " + std::to_string(base + 3) + ")");
  return true;
}

void HostController::startReachability(uint16_t base) {
  const HostControllerSeams& seams = deps_.seams;
  identity_ = deps_.identity();
  const Uuid hostID = identity_->hostID();

  if (seams.startProbeResponder) {
    std::weak_ptr<HostController> weak = weak_from_this();
    // Asked on the responder's own thread: the classification and the policy need only the defaults
    // store and the subnet cache, both safe there.
    auto allowPeer = [weak](const std::string& peer) {
      auto self = weak.lock();
      return self && self->isPathAllowed(self->pathKind(peer));
    };
    stopProbeResponder_ = seams.startProbeResponder(static_cast<uint16_t>(base + 4), hostID, allowPeer, logSink());
  }

  vela::E2ETrust::publishHost(deps_.keyValueStore, *identity_, deps_.hostName, std::nullopt);
  log("🔐 tożsamość hosta " + hostID.uuidString().substr(0, 8) + "… (Ed25519; pub → lokalny plik klucz-wartość)");

  if (seams.startRelayLink) seams.startRelayLink();

  if (!allowNAT.get()) {
    log(std::string("🌐 NAT wyłączony przez użytkownika — pomijam mapowanie (zostaje ") +
        (relayConfigured() ? "LAN + relay)" : "LAN)"));
  } else if (mapsOnDemand()) {
    log("🌐 NAT na żądanie — port zamknięty do pierwszego żądania sesji przez relay (wejście relayem, potem MbB → "
        "NAT)");
    purgeStaleNAT();
  } else {
    startNATMapping();
  }

  if (allowLAN.get() && seams.startBonjour) stopBonjour_ = seams.startBonjour(base, hostID, deps_.hostName, logSink());
}

HostController::PathKind HostController::pathKind(const std::string& remote) {
  return tavlo::pathKind(remote, [this] { return localSubnets_.current(); });
}

bool HostController::isPathAllowed(PathKind kind) const { return tavlo::isPathAllowed(kind, deps_.settings); }

void HostController::acceptTransport(std::shared_ptr<vela::SessionTransport> transport) {
  const std::string remote = transport->remoteDescription();
  PathKind kind = pathKind(remote);
  if (!isPathAllowed(kind)) {
    if (auto end = refusedPathLines_.admit(deps_.scheduler.clock().nowUs()))
      log(std::string("🚫 odrzucam sesję (tor ") + pathKindName(kind) + " wyłączony): " + remote + *end);
    transport->close();
    return;
  }
  handshakeGate()->admit(std::move(transport));
}

std::shared_ptr<HandshakeGate> HostController::handshakeGate() {
  if (handshakeGate_) return handshakeGate_;
  if (!identity_) identity_ = deps_.identity();
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  HandshakeGate::Options options;
  options.identity = identity_;
  options.scheduler = &deps_.scheduler;
  options.onLog = logSink();
  // On the gate's worker: the session is built on the main executor, as every transport's was.
  options.onKeyed = [weak, main](std::shared_ptr<vela::EncryptedTransport> wrapper) {
    const bool posted = main->post([weak, wrapper] {
      if (auto self = weak.lock()) {
        self->startKeyedSession(wrapper);
      } else {
        wrapper->close();
      }
    });
    if (!posted) wrapper->close();
  };
  handshakeGate_ = HandshakeGate::create(std::move(options));
  return handshakeGate_;
}

void HostController::startKeyedSession(const std::shared_ptr<vela::EncryptedTransport>& wrapper) {
  // The session starts threads; when the system refuses one (a flood of connections, a thread limit)
  // only this connection is lost: the host keeps listening and its live session goes on.
  try {
    handleSession(wrapper);
  } catch (const std::system_error& e) {
    log(std::string("⚠️ brak zasobów na nowe połączenie (") + e.what() + ") — zamykam je: " +
        wrapper->remoteDescription());
    wrapper->close();
  }
}

}  // namespace tavlo
