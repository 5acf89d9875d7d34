// The user's reachability switches: each path on or off at once (advertising, relay data, the router
// mapping), the session on a path just switched off dropped, and the path the host asks its client to
// take.
#include "host/controller/host_controller.hpp"
#include "protocol/path_messages.hpp"

namespace tavlo {

void HostController::setAllowLAN(bool on) {
  allowLAN.set(on);
  deps_.settings.set(SettingsKey::allowLAN, on);
  if (!on) {
    if (stopBonjour_) std::exchange(stopBonjour_, nullptr)();
    log("📡 LAN WYŁĄCZONY — przestaję rozgłaszać Bonjour");
    dropSessionIfPathDisallowed();
    return;
  }
  if (isListening.get() && !stopBonjour_ && deps_.seams.startBonjour && identity_) {
    stopBonjour_ = deps_.seams.startBonjour(controlPortInUse_, identity_->hostID(), deps_.hostName, logSink());
  }
  log("📡 LAN dozwolony — rozgłaszam Bonjour");
}

void HostController::setAllowVPN(bool on) {
  allowVPN.set(on);
  deps_.settings.set(SettingsKey::allowVPN, on);
  log(std::string("🔐 tor VPN ") + (on ? "dozwolony" : "WYŁĄCZONY"));
  dropSessionIfPathDisallowed();
}

void HostController::setAllowRelay(bool on) {
  allowRelay.set(on);
  deps_.settings.set(SettingsKey::allowRelay, on);
  // The link stays up when relay data is forbidden: it still brokers sessions and publishes the endpoint.
  if (isListening.get() && deps_.seams.startRelayLink) deps_.seams.startRelayLink();
  if (deps_.seams.publishRelayData) deps_.seams.publishRelayData(on);
  if (on) {
    log("🛰 tor danych przez relay DOZWOLONY (broker+dane)");
    return;
  }
  log("🛰 tor danych przez relay ZABRONIONY — relay tylko jako broker (podaje NAT); zrywam sesje relay-danych");
  dropSessionIfPathDisallowed();
}

void HostController::setAllowNAT(bool on) {
  allowNAT.set(on);
  deps_.settings.set(SettingsKey::allowNAT, on);
  if (on) {
    if (!isListening.get()) {
      log("🌐 NAT dozwolony — mapowanie ruszy przy żądaniu sesji po starcie nasłuchu");
    } else if (!mapsOnDemand()) {
      startNATMapping();
      log("🌐 NAT dozwolony — mapuję porty na routerze teraz (bez restartu)");
    } else if (session_) {
      armNATOnDemand("NAT włączony w trakcie sesji");
    } else {
      log("🌐 NAT dozwolony — na żądanie: port otworzy się przy pierwszym żądaniu sesji przez relay");
    }
    return;
  }
  stopPortMapping();
  withdrawNATAddressAndCutSession(relayConfigured() ? "NAT WYŁĄCZONY — zostaje LAN albo relay" : "NAT WYŁĄCZONY — zostaje LAN");
  dropSessionIfPathDisallowed();
}

void HostController::dropSessionIfPathDisallowed() {
  if (!session_) return;
  const PathKind kind = pathKind(session_->peerDescription());
  if (isPathAllowed(kind)) {
    // The session stays; a second path warmed up on a path just switched off goes.
    session_->detachDisallowedSecondaryPaths();
    return;
  }
  log(std::string("🚫 zrywam sesję (tor ") + pathKindName(kind) + " wyłączony) — klient wróci przez inny dozwolony tor");
  dropSessionNow();
}

void HostController::setClientForcePath(const std::string& path) {
  clientForcePath.set(path);
  deps_.settings.set(SettingsKey::clientForcePath, path);
  if (session_) session_->sendForcePath(clientForcePathCode());
  log("🧪 wymuszam tor klienta: " + path + " (na żywo)");
}

uint8_t HostController::clientForcePathCode() const {
  return vela::ForcePath::codeForSetting(clientForcePath.get());
}

}  // namespace tavlo
