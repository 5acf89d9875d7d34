// The lock screen (the client's password, unlocking, the lock state sent to the client) and bye.
#include <string>

#include "hostcore/engines/input_injector.hpp"
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

bool HostSession::attemptUnlock() {
  // The password never goes to the lock screen of a session whose end-to-end encryption is not
  // established: anyone on the path could have sent it, or read it.
  if (!isTransportEncrypted()) {
    log("🔓❌ tor nieszyfrowany — ODMAWIAM wpisania hasła");
    return false;
  }
  std::string password;
  std::shared_ptr<InputInjector> injector;
  {
    Locked locked(*this);
    password = locked->identity.lastLoginPassword;
    injector = locked->engines.injector;
  }
  if (password.empty() || !injector) {
    log("🔓 brak hasła sesji / injectora — nie próbuję odblokować");
    return false;
  }
  log("🔓 wpisuję hasło na ekran blokady (dł. " + std::to_string(tavlo::graphemeCount(password)) +
      ") — werdykt po screenIsUnlocked");
  injector->typeUnlockSequence(password);
  return true;
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
