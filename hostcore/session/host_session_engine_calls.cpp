// PLACEHOLDER until the encoder engine is merged.
#include "hostcore/session/host_session.hpp"

namespace vela {

void HostSession::pushKeyframeInterval(EncoderEngine&, double) {}
void HostSession::typeOnLockScreen(InputInjector&, const std::string&) {}
void HostSession::releaseHeldInput(InputInjector&) {}

}  // namespace vela
