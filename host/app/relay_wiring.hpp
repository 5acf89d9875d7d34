#pragma once
// The host's registration with a relay service: clients that cannot reach the host directly are joined
// through it, and it hands them the host's mapped public endpoint. Only when the user names a service.
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "e2e/e2e_identity.hpp"
#include "host/controller/host_controller_seams.hpp"
#include "platform/runtime/main_executor.hpp"
#include "platform/runtime/scheduler.hpp"
#include "transport/relay.hpp"

namespace tavlo {

class HostController;

// "HOST:PORT": the service's line port PORT and its datagram port PORT + 1 (as tavlo-relay listens by
// default); none for anything else.
std::optional<vela::RelayService> parseRelayAddress(std::string_view text);

// Fills the relay seams: the link starts once, at listening, and lives as long as the program.
// `controller` gives the controller the seams serve (none once it is gone).
using ControllerRef = std::function<std::shared_ptr<HostController>()>;
void wireRelayLink(HostControllerSeams& seams, vela::RelayService service, MainExecutor& main, Scheduler& scheduler,
                   std::function<std::shared_ptr<const vela::E2EIdentity>()> identity, ControllerRef controller);

}  // namespace tavlo
