// The client's camera and microphone. So far only the entry point the control loop calls.
#include "hostcore/session/host_session.hpp"

namespace vela {

// The client describes its camera stream (size, rate, parameter sets); the decoder is set up here.
void HostSession::handleCamConfig(const CamConfig&) {}

}  // namespace vela
