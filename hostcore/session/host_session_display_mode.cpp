// Display mode, scale and reconfiguration. So far only the entry points the control loop calls.
#include "hostcore/session/host_session.hpp"

namespace vela {

// A resize request has set the base size; reconfiguration of the display and the encoder follows here.
void HostSession::scheduleReconfigure() {}

// The client went to the foreground or the background, or switched its audio.
void HostSession::applyClientState(const ClientStateMessage&) {}

}  // namespace vela
