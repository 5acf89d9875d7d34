// Teardown, close, transport cancellation and destruction. So far the one-time guard and what every
// ending needs (the transport closed once, the owner told); the reaper, the link snapshot, the warm
// reserve, stopping the engines and restoring the display continue here.
#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"

namespace vela {

HostSession::~HostSession() {
  // No other thread reaches a session being destroyed: everything else holds it weakly.
  const auto& path = state_.path;
  if (!path.transportCancelled && !state_.identity.donated) path.effectiveTransport()->close();
}

void HostSession::handleClientDisconnect() {
  {
    Locked locked(*this);
    if (locked->identity.disconnected) return;
    locked->identity.disconnected = true;
    locked->identity.reaperTimer.cancel();
  }
  log("klient rozłączony — sprzątanie");
  cancelTransportNow();
  if (auto cb = callbacks(); cb->onDisconnect) cb->onDisconnect();
}

void HostSession::close() {
  components_.clip->reset();
  {
    Locked locked(*this);
    locked->identity.sawBye = true;  // the teardown that the ended stream triggers never parks
  }
  cancelTransportNow();
}

void HostSession::cancelTransportNow() {
  std::shared_ptr<SessionTransport> transport;
  std::shared_ptr<InputInjector> injector;
  bool donated;
  {
    Locked locked(*this);
    if (locked->path.transportCancelled) return;
    locked->path.transportCancelled = true;
    donated = locked->identity.donated;
    transport = locked->path.effectiveTransport();
    injector = locked->engines.injector;
  }
  if (injector) injector->releaseAll();  // no key or button stays pressed after the client
  if (!donated) transport->close();  // a donated transport belongs to another session now
}

}  // namespace vela
