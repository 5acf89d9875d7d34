#pragma once
// tavlo-host without a tray: builds the controller with the parts of the host that exist, runs its
// main executor on the calling thread, and returns the exit status.
#include <optional>
#include <string>

#include "host/app/host_options.hpp"

namespace tavlo {

int runHostProgram(const HostOptions& options);
// Installs or removes the login unit for --install-autostart / --remove-autostart.
int runAutostartAction(HostOptions::AutostartAction action);

// The program's own lines once the host listens: where a client connects and with which key, or, when
// `refusal` says why clients are refused, where it listens and that it refuses them.
// `persistentIdentity` is told when known.
std::string reachLines(const std::string& hostName, uint16_t controlPort, const std::string& hostID,
                       const std::string& signingKeyBase64, std::optional<bool> persistentIdentity,
                       const std::string& refusal = {});

}  // namespace tavlo
