#include "host/controller/host_session_handle.hpp"

namespace tavlo {

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

// The session's own senders and its warm reserve come with the work on its send paths and its end;
// until a session offers them, a handle has nothing to send and no engines to surrender.
std::optional<vela::WarmEngineBundle> HostSessionHandle::surrenderEngines(int64_t, int64_t) { return std::nullopt; }

void HostSessionHandle::sendForcePath(uint8_t) {}

void HostSessionHandle::sendTextFocus(bool, std::optional<ScreenRect>) {}

std::shared_ptr<vela::SessionTransport> HostSessionHandle::donateTransportForMbb() { return nullptr; }

void HostSessionHandle::attachSecondarySink(std::shared_ptr<vela::SessionTransport>, uint32_t, bool) {}

}  // namespace tavlo
