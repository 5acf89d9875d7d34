#pragma once
// The parts of the host that exist (displays, sessions, sound server, virtual camera and microphone,
// router mappings, link memory, probe responder, Bonjour), plugged into the controller's seams.
#include <functional>
#include <memory>

#include "host/app/session_backends.hpp"
#include "host/controller/host_controller_seams.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

class HostController;
class VirtualDisplayController;

// What the parts touch that belongs to the instance running the host, done only once this
// instance is that one: a waiting or second instance leaves the running one's ring and input alone.
struct RunningInstanceSteps {
  std::function<void()> openMicrophoneRing;  // main executor, before any session
  std::function<void()> repairDefaultInput;  // off the main executor: it asks the sound server
};

// The parts of the host that exist, plugged into the controller's start-up, listening and sessions.
// `controller` is the one the seams serve, set once it exists.
RunningInstanceSteps wireParts(HostControllerSeams& seams, const std::shared_ptr<VirtualDisplayController>& displays,
                               const std::shared_ptr<const SessionBackends>& sessions,
                               HostController* const& controller, Scheduler& scheduler);

}  // namespace tavlo
