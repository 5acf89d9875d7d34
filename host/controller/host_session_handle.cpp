#include "host/controller/host_session_handle.hpp"

namespace tavlo {

namespace {
// The session's default hiDPI toggle: Control+Option+Command+H.
constexpr vela::HostShortcut hiDPIShortcut = vela::HostShortcut::withControlOptionCommand(0x0B);
}  // namespace

std::shared_ptr<ControlledSession> HostSessionHandle::create(vela::SessionConfig config, vela::SessionDeps deps) {
  auto handle = std::make_shared<HostSessionHandle>(Private{});
  // The session's log hook holds the handle, so the handle lives exactly as long as the session (the
  // hook is set at construction and never replaced); the handle only points back, so there is no cycle.
  config.onLog = [handle, log = std::move(config.onLog)](const std::string& line) {
    if (log) log(line);
  };
  std::shared_ptr<vela::HostSession> session = vela::HostSession::create(std::move(config), std::move(deps));
  handle->session_ = session.get();
  return std::shared_ptr<ControlledSession>(std::move(session), handle.get());
}

std::optional<vela::WarmEngineBundle> HostSessionHandle::surrenderEngines(int64_t helloW, int64_t helloH) {
  return session_->surrenderEngines(helloW, helloH);
}

void HostSessionHandle::setHostShortcuts(vela::HostShortcut scaleUp, vela::HostShortcut scaleDown,
                                         vela::HostShortcut diag) {
  // The controller keeps no setting for the hiDPI shortcut: the session's own default stays.
  session_->setHostShortcuts(scaleUp, scaleDown, diag, hiDPIShortcut);
}

void HostSessionHandle::sendForcePath(uint8_t code) { session_->sendForcePath(code); }

void HostSessionHandle::sendTextFocus(bool active, std::optional<ScreenRect> fieldFrame) {
  session_->sendTextFocus(active, fieldFrame);
}

std::shared_ptr<vela::SessionTransport> HostSessionHandle::donateTransportForMbb() {
  return session_->donateTransportForMbb();
}

void HostSessionHandle::attachSecondarySink(std::shared_ptr<vela::SessionTransport> transport, uint32_t sessionId,
                                            bool viaVPN) {
  session_->attachSecondarySink(std::move(transport), sessionId, viaVPN);
}

}  // namespace tavlo
