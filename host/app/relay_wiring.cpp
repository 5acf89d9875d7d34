#include "host/app/relay_wiring.hpp"

#include <charconv>

#include "host/controller/host_controller.hpp"
#include "transport/relay_host_link.hpp"

namespace tavlo {

std::optional<vela::RelayService> parseRelayAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view port = text.substr(colon + 1);
  unsigned value = 0;
  auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (error != std::errc() || end != port.data() + port.size() || value < 1 || value > 65534) return std::nullopt;
  return vela::RelayService{std::string(text.substr(0, colon)), static_cast<uint16_t>(value),
                            static_cast<uint16_t>(value + 1)};
}

namespace {

// The link and what it was told before it existed; main executor only.
struct RelayState {
  std::shared_ptr<vela::RelayHostLink> link;
};

}  // namespace

void wireRelayLink(HostControllerSeams& seams, vela::RelayService service, MainExecutor& main, Scheduler& scheduler,
                   std::function<std::shared_ptr<const vela::E2EIdentity>()> identity, ControllerRef controller) {
  auto state = std::make_shared<RelayState>();
  MainExecutor* mainQueue = &main;
  Scheduler* timers = &scheduler;
  seams.startRelayLink = [state, service, mainQueue, timers, identity, controller] {
    if (state->link) return;
    auto self = controller();
    std::shared_ptr<const vela::E2EIdentity> id = identity ? identity() : nullptr;
    if (!self || !id) return;
    vela::RelayHostLink::Params params;
    params.hostID = id->hostID().uuidString();
    params.sigPub = Bytes(id->signingPublicKey().begin(), id->signingPublicKey().end());
    params.sign = [id](ByteView challenge) -> std::optional<Bytes> {
      auto signature = id->sign(challenge);
      if (!signature) return std::nullopt;
      return Bytes(signature->begin(), signature->end());
    };
    // Relayed transports take the path check and the encryption of direct ones.
    params.emit = [mainQueue, controller](std::shared_ptr<vela::SessionTransport> transport) {
      mainQueue->post([controller, transport] {
        if (auto c = controller()) return c->acceptTransport(transport);
        transport->close();
      });
    };
    params.log = self->logSink();
    params.scheduler = timers;
    params.service = service;
    state->link = vela::RelayHostLink::create(std::move(params));
    state->link->setOnSessionRequest([mainQueue, controller] {
      mainQueue->post([controller] {
        auto c = controller();
        if (c && c->natOnDemand()) c->armNATOnDemand("żądanie sesji przez relay");
      });
    });
    // Whether the relay can bring clients decides whether the router is mapped at once (see
    // HostController::relayLinkChanged).
    state->link->setOnRegistration([mainQueue, controller](bool registered) {
      mainQueue->post([controller, registered] {
        if (auto c = controller()) c->relayLinkChanged(registered);
      });
    });
    state->link->start();
    state->link->publishRelayData(self->allowRelay.get());
    if (const auto& endpoint = self->publicEndpoint.get()) state->link->publishEndpoint(*endpoint);
  };
  seams.publishRelayData = [state](bool allowed) {
    if (state->link) state->link->publishRelayData(allowed);
  };
  seams.publishRelayEndpoint = [state](const std::string& endpoint) {
    if (state->link) state->link->publishEndpoint(endpoint);
  };
}

}  // namespace tavlo
