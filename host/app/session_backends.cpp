#include "host/app/session_backends.hpp"

#include "host/controller/host_session_handle.hpp"
#include "platform/audio/pulse_system_audio.hpp"
#include "platform/capture/x11_capture.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "platform/encoder/x265_backend.hpp"
#include "platform/input/xtest_poster.hpp"
#include "platform/runtime/random.hpp"

namespace tavlo {

std::optional<SessionBackends> SessionBackends::open(const std::string& display, std::shared_ptr<Scheduler> scheduler,
                                                     std::shared_ptr<Settings> settings, std::string* error) {
  std::shared_ptr<XTestPoster> poster = XTestPoster::open(display, error);
  if (!poster) return std::nullopt;
  // The hello's mode report, its injector points and the mirror path ask the X server directly.
  std::shared_ptr<DisplaySystem> windowSystem = XorgDisplaySystem::open(display, error);
  if (!windowSystem) return std::nullopt;
  X11Capture::Options capture;
  capture.display = display;
  capture.audio = std::make_shared<PulseSystemAudio>();
  return assemble(std::move(windowSystem), std::move(poster), std::make_shared<X11Capture>(std::move(capture)),
                  std::move(scheduler), std::move(settings));
}

SessionBackends SessionBackends::assemble(std::shared_ptr<DisplaySystem> windowSystem,
                                          std::shared_ptr<EventPoster> poster, std::shared_ptr<CaptureBackend> capture,
                                          std::shared_ptr<Scheduler> scheduler, std::shared_ptr<Settings> settings) {
  vela::SessionDeps deps;
  deps.windowSystem = std::move(windowSystem);
  deps.displayBounds = [poster](uint32_t displayID) { return poster->displayBounds(displayID); };
  const Clock& clock = scheduler->clock();  // the scheduler, and so its clock, lives as long as the deps
  deps.engines = std::make_shared<vela::EngineFactory>(std::move(capture), std::make_shared<X265Backend>(), clock,
                                                       settings);
  deps.injectors = [poster, &clock] { return std::make_shared<vela::InputInjector>(poster, clock); };
  deps.processFlags = vela::SessionProcessFlags::read(*settings);
  deps.scheduler = std::move(scheduler);
  deps.settings = std::move(settings);
  // The process-wide generator, safe from every session thread.
  deps.random = std::shared_ptr<Random>(std::shared_ptr<void>(), &SystemRandom::shared());
  deps.displayGate = std::make_shared<vela::DisplayGate>();
  deps.rungMemory = std::make_shared<vela::RungMemory>();
  return SessionBackends(std::move(deps));
}

std::shared_ptr<ControlledSession> SessionBackends::makeSession(vela::SessionConfig config, uint16_t controlPort) const {
  vela::SessionDeps deps = deps_;
  deps.listenerPorts = {static_cast<uint16_t>(controlPort + 1), static_cast<uint16_t>(controlPort + 2),
                        static_cast<uint16_t>(controlPort + 3)};
  return HostSessionHandle::create(std::move(config), std::move(deps));
}

}  // namespace tavlo
