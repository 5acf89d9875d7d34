#pragma once
// What every streaming session of the program is built on: the real capture (the X server's outputs,
// with the system audio of the sound server), the x265 encoder and input posted through XTEST, plus the
// process-wide session objects. Sessions made here stream the listener's real ports.
#include <memory>
#include <optional>
#include <string>

#include "host/controller/controlled_session.hpp"
#include "hostcore/session/session_config.hpp"
#include "hostcore/session/session_deps.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

struct GnomeDesktop;

class SessionBackends {
 public:
  // On the X server of `display` (":N"; empty: $DISPLAY). None, with the reason in `error`, when its
  // input cannot be reached.
  static std::optional<SessionBackends> open(const std::string& display, std::shared_ptr<Scheduler> scheduler,
                                             std::shared_ptr<Settings> settings, std::string* error);
  // On a GNOME desktop: capture from the virtual monitors' screen-cast streams, input through mutter's
  // remote-desktop sessions (gnome_session_backends.cpp).
  static std::optional<SessionBackends> openGnome(const GnomeDesktop& desktop, std::shared_ptr<Scheduler> scheduler,
                                                  std::shared_ptr<Settings> settings, std::string* error);

  // A session (not started) whose UDP flows are the block that starts at `controlPort`.
  std::shared_ptr<ControlledSession> makeSession(vela::SessionConfig config, uint16_t controlPort) const;
  // Fetches the shareable screen content once, so that the first capture starts fast.
  void prewarmCapture() const { deps_.engines->prewarmCapture(); }

 private:
  explicit SessionBackends(vela::SessionDeps deps) : deps_(std::move(deps)) {}
  // Every desktop's sessions around its own window system, input poster and capture.
  static SessionBackends assemble(std::shared_ptr<DisplaySystem> windowSystem, std::shared_ptr<EventPoster> poster,
                                  std::shared_ptr<CaptureBackend> capture, std::shared_ptr<Scheduler> scheduler,
                                  std::shared_ptr<Settings> settings);
  vela::SessionDeps deps_;
};

}  // namespace tavlo
