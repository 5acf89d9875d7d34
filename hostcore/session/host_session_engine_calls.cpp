// PLACEHOLDER until the encoder engine is merged.
#include "hostcore/session/host_session.hpp"

namespace vela {

void HostSession::pushKeyframeInterval(EncoderEngine&, double) {}

}  // namespace vela
