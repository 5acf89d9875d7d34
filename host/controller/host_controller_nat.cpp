// The router port mapping of the host's block: started at listening or on demand, NAT-PMP before UPnP,
// published once a router answered, released when no session needs it, withdrawn when NAT goes off.
#include "e2e/e2e_trust.hpp"
#include "host/controller/host_controller.hpp"

namespace tavlo {

namespace {

std::vector<uint16_t> mediaPorts(uint16_t base) {
  return {static_cast<uint16_t>(base + 1), static_cast<uint16_t>(base + 2), static_cast<uint16_t>(base + 3),
          static_cast<uint16_t>(base + 4)};
}

const char* mapperName(PortMapperKind kind) { return kind == PortMapperKind::natPmp ? "NAT-PMP" : "UPnP"; }

// How long an unused mapping lives, as the log lines say it.
std::string natReleaseDelayText() { return std::to_string(HostController::natReleaseDelayUs / 1'000'000) + " s"; }

}  // namespace

void HostController::cancelStalePurge() {
  if (purgePMP_) std::exchange(purgePMP_, nullptr)->cancelPurge();
  if (purgeUPnP_) std::exchange(purgeUPnP_, nullptr)->cancelPurge();
}

void HostController::purgeStaleNAT() {
  const auto& make = deps_.seams.makePortMapper;
  if (!make) return;
  const uint16_t base = controlPortInUse_;
  if (deps_.settings.getBool(SettingsKey::useNATPMP).value_or(true)) {
    purgePMP_ = make(PortMapperKind::natPmp, base, mediaPorts(base), logSink(), nullptr);
    if (purgePMP_) purgePMP_->purgeStaleMappings();
  }
  if (deps_.settings.getBool(SettingsKey::useUPnP).value_or(true)) {
    purgeUPnP_ = make(PortMapperKind::upnp, base, mediaPorts(base), logSink(), nullptr);
    if (purgeUPnP_) purgeUPnP_->purgeStaleMappings();
  }
}

void HostController::startNATMapping() {
  // A live purge must not delete the mapping about to be made.
  cancelStalePurge();
  if (natMapper_) std::exchange(natMapper_, nullptr)->stop(true);
  // An earlier UPnP mapper halts without deleting: the new one maps the same ports.
  if (upnpMapper_) std::exchange(upnpMapper_, nullptr)->stop(false);
  upnpFallbackTimer_.cancel();
  const uint16_t base = controlPortInUse_;
  const bool usePMP = deps_.settings.getBool(SettingsKey::useNATPMP).value_or(true);
  const bool useUPnP = deps_.settings.getBool(SettingsKey::useUPnP).value_or(true);
  if (!usePMP && !useUPnP) {
    log(std::string("🌐 obie metody mapowania wyłączone — bezpośredni NAT nie zostanie zmapowany (zostaje ") +
        (relayConfigured() ? "relay)" : "LAN)"));
    return;
  }
  const auto& make = deps_.seams.makePortMapper;
  if (!make) return;
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto mapped = [main, weak](PortMapperKind kind) -> PortMapper::OnMapped {
    return [main, weak, kind](const std::string& ip, uint16_t port) {
      onMain(*main, weak, [ip, port, kind](HostController& self) { self.publishMappedEndpoint(ip, port, mapperName(kind)); });
    };
  };
  if (usePMP) {
    natMapper_ = make(PortMapperKind::natPmp, base, mediaPorts(base), logSink(), mapped(PortMapperKind::natPmp));
    if (natMapper_) natMapper_->start();
    if (!useUPnP) return;
  }
  std::shared_ptr<PortMapper> upnp =
      make(PortMapperKind::upnp, base, mediaPorts(base), logSink(), mapped(PortMapperKind::upnp));
  upnpMapper_ = upnp;
  if (!upnp) return;
  // Only what exists is named: NAT-PMP when it is used, a relay when one is configured, else the LAN.
  std::string fallback = usePMP ? "NAT-PMP" : "";
  if (relayConfigured()) fallback += fallback.empty() ? "relay" : "/relay";
  upnp->setFallbackPaths(fallback.empty() ? "LAN" : fallback);
  if (!usePMP) {
    log("🌐 NAT-PMP wyłączony — mapuję od razu przez UPnP");
    upnp->start();
    return;
  }
  std::weak_ptr<PortMapper> weakUpnp = upnp;
  auto id = deps_.scheduler.after(upnpFallbackDelayUs, [main, weak, weakUpnp] {
    onMain(*main, weak, [weakUpnp](HostController& self) {
      auto mapper = weakUpnp.lock();
      // A mapping restarted within the 4 s has a mapper of its own.
      if (!mapper || mapper != self.upnpMapper_) return;
      if (!self.allowNAT.get() || self.publicEndpoint.get()) return;
      self.log("🌐 NAT-PMP nie zmapował w 4 s — próbuję UPnP");
      mapper->start();
    });
  });
  upnpFallbackTimer_ = ScopedTimer(deps_.scheduler, id);
}

void HostController::publishMappedEndpoint(const std::string& ip, uint16_t port, const std::string& via) {
  const std::string endpoint = ip + ":" + std::to_string(port);
  mappedVia.set(via);
  if (publicEndpoint.get() == endpoint) return;
  publicEndpoint.set(endpoint);
  if (identity_) vela::E2ETrust::publishHost(deps_.keyValueStore, *identity_, deps_.hostName, endpoint);
  if (deps_.seams.publishRelayEndpoint) deps_.seams.publishRelayEndpoint(endpoint);
  const bool written = deps_.keyValueStore.synchronize();
  log("🌐 KVS: opublikowano endpoint " + endpoint + " do tl.hosts (synchronize=" + (written ? "true" : "false") + ")");
}

void HostController::armNATOnDemand(const std::string& reason) {
  if (!allowNAT.get() || !isListening.get()) return;
  cancelStalePurge();
  natReleaseTimer_.cancel();
  if (!portMappingLive()) {
    log("🌐 NAT na żądanie: " + reason +
        " → mapuję porty na routerze (klient wchodzi relayem, po checkNAT przejdzie MbB → NAT)");
    startNATMapping();
  }
  if (const auto& endpoint = publicEndpoint.get()) {
    log("🌐 NAT na żądanie: " + reason + " — mapowanie już żyje (" + *endpoint + ")");
  }
  // A request that never becomes an admitted session (the client gave up, the handshake failed, the
  // relay's notice was stale) must not leave the router open: the release is armed now, and admission
  // calls it off.
  if (!session_ && portMappingLive()) {
    armNATRelease();
    log("🌐 NAT na żądanie: mapowanie zejdzie za " + natReleaseDelayText() + ", jeśli żądana sesja nie ruszy");
  }
}

void HostController::scheduleNATRelease() {
  if (!mapsOnDemand() || !portMappingLive()) return;
  armNATRelease();
  log("🌐 NAT na żądanie: sesja zakończona — mapowanie zejdzie za " + natReleaseDelayText() + ", jeśli nikt nie wróci");
}

void HostController::armNATRelease() {
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto id = deps_.scheduler.after(natReleaseDelayUs, [main, weak] {
    onMain(*main, weak, [](HostController& self) {
      if (self.session_) return;
      self.releaseNAT("brak sesji od " + natReleaseDelayText());
    });
  });
  natReleaseTimer_ = ScopedTimer(deps_.scheduler, id);  // replaces a pending release
}

void HostController::relayLinkChanged(bool registered) {
  const std::optional<bool> before = std::exchange(relayRegistered_, registered);
  if (before == registered || !natOnDemand_ || !allowNAT.get() || !isListening.get()) return;
  if (!registered) {
    // No relay to bring a client's request: the router is mapped as it is without a relay, and stays
    // mapped while the relay is away.
    natReleaseTimer_.cancel();
    if (portMappingLive()) {
      log("🌐 relay niedostępny — mapowanie na routerze zostaje, dopóki relay nie wróci");
      return;
    }
    log("🌐 relay niedostępny — mapuję porty na routerze od razu, jak bez relaya");
    startNATMapping();
    return;
  }
  // The relay is back (not merely up for the first time): on demand again. A client that learnt the
  // endpoint meanwhile keeps it for the usual two minutes, and a session on it keeps it to its end.
  if (!before || !portMappingLive()) return;
  if (session_) {
    log("🌐 relay znów działa — wracam do NAT na żądanie; mapowanie zejdzie po końcu sesji");
    return;
  }
  armNATRelease();
  log("🌐 relay znów działa — wracam do NAT na żądanie; mapowanie zejdzie za " + natReleaseDelayText() +
      ", jeśli nikt nie przyjdzie");
}

void HostController::stopPortMapping() {
  natReleaseTimer_.cancel();
  upnpFallbackTimer_.cancel();
  if (natMapper_) std::exchange(natMapper_, nullptr)->stop(true);
  if (upnpMapper_) std::exchange(upnpMapper_, nullptr)->stop(true);
}

void HostController::withdrawPublicEndpoint() {
  publicEndpoint.set(std::nullopt);
  mappedVia.set(std::nullopt);
  if (identity_) vela::E2ETrust::publishHost(deps_.keyValueStore, *identity_, deps_.hostName, std::nullopt);
  deps_.keyValueStore.synchronize();
  if (deps_.seams.publishRelayEndpoint) deps_.seams.publishRelayEndpoint("-");
}

void HostController::releaseNAT(const std::string& reason) {
  const bool held = portMappingHeld();
  const bool published = publicEndpoint.get().has_value();
  stopPortMapping();
  withdrawPublicEndpoint();
  if (auto line = natReleaseLine(reason, held, published)) log(*line);
}

std::optional<std::string> HostController::natReleaseLine(const std::string& reason, bool mappingHeld,
                                                          bool addressPublished) const {
  // Only what existed is said to be withdrawn: a router that never answered had no mapping to take off.
  if (!mappingHeld && !addressPublished) return std::nullopt;
  std::string line = "🌐 NAT zwolniony (" + reason + ") — ";
  if (mappingHeld) line += "mapowanie zdjęte z routera";
  if (mappingHeld && addressPublished) line += ", ";
  if (addressPublished) line += relayConfigured() ? "adres wycofany z relaya i KVS" : "adres wycofany z KVS";
  return line;
}

void HostController::withdrawNATAddressAndCutSession(const std::string& reason) {
  withdrawPublicEndpoint();
  log("🌐 NAT wycofany (" + reason + ") — adres zdjęty z " + (relayConfigured() ? "KVS i relaya" : "KVS"));
  if (!session_) {
    log("🛰 brak trwającej sesji — nie ma toru NAT do odcięcia");
    return;
  }
  const std::string description = session_->peerDescription();
  // Only a session that really came in through the router is cut: the LAN, the relay and a VPN peer
  // (also one from a carrier-grade range) stay.
  if (pathKind(description) != PathKind::nat) {
    log("🛰 trwająca sesja idzie przez " + description + " — nie ma toru NAT do odcięcia");
    return;
  }
  log("🚫 zrywam trwającą sesję po NAT (" + description + ") — klient wróci przez " +
      (relayConfigured() ? "LAN albo przekaźnik" : "LAN"));
  dropSessionNow();
}

}  // namespace tavlo
