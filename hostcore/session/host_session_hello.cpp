// The client's hello. So far only what the control loop and the watchdog rely on: the hello is logged,
// seen (the watchdog stands down, the control loop hands the session to its owner) and its window size
// kept. Admission, the display, the input injector, the host hello and engine setup continue here.
#include <string>

#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

void HostSession::handleHello(const ClientHello& hello) {
  log("CLIENT_HELLO od " + hello.deviceName + ": okno " + std::to_string(hello.windowPxW) + "×" +
      std::to_string(hello.windowPxH));
  Locked locked(*this);
  locked->identity.helloSeen = true;
  locked->warm.pendingHelloW = hello.windowPxW;
  locked->warm.pendingHelloH = hello.windowPxH;
}

}  // namespace vela
