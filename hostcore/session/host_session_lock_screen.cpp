// The lock screen (the client's password, unlocking, the lock state sent to the client) and bye.
#include <string>

#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "platform/runtime/graphemes.hpp"

namespace vela {

namespace {
const char* yesNo(bool value) { return value ? "true" : "false"; }
}  // namespace

void HostSession::handleLoginRequest(const LoginRequest& request) {
  bool encrypted = isTransportEncrypted();  // asks the transport, outside the session mutex
  Locked locked(*this);
  locked->identity.lastLoginPassword = request.password;
  locked.log("🔐 otrzymano hasło (dł. " + std::to_string(tavlo::graphemeCount(request.password)) +
             ", E2E=" + (encrypted ? "tak" : "NIE") + ")");
  locked.later([this] {
    if (auto cb = callbacks(); cb->onLoginReceived) cb->onLoginReceived();
  });
}

void HostSession::sendLockState(bool isLocked, bool armed) {
  Locked locked(*this);
  locked.sendControl(LockStateMessage{isLocked, armed});
  locked.log(std::string("🔓 LOCK_STATE → klient: locked=") + yesNo(isLocked) + " armed=" + yesNo(armed));
}

void HostSession::sendBye() {
  Locked locked(*this);
  locked.sendControl(Bye{});
}

}  // namespace vela
