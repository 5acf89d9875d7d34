// Engine creation, warm resume and engine setup, run by the hello after the host hello.
#include "hostcore/session/host_session.hpp"

namespace vela {

void HostSession::startEngines(const HelloDisplay&, int64_t, int64_t) {}

}  // namespace vela
