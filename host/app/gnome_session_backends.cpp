#include "host/app/gnome_session_backends.hpp"

#include "host/app/session_backends.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "platform/audio/pulse_system_audio.hpp"
#include "platform/gnome/gnome_capture.hpp"

namespace tavlo {

std::optional<GnomeDesktop> GnomeDesktop::open(std::string* error) {
  GnomeDesktop desktop;
  desktop.bus = BusConnection::openSession(error);
  if (!desktop.bus) return std::nullopt;
  desktop.frames = std::make_shared<ScreenCastFrames>();
  desktop.displays = MutterDisplaySystem::open({desktop.bus, desktop.frames, {}, {}}, error);
  if (!desktop.displays) return std::nullopt;
  desktop.poster = std::make_shared<MutterEventPoster>(desktop.displays, desktop.frames, desktop.bus);
  return desktop;
}

std::optional<SessionBackends> SessionBackends::openGnome(const GnomeDesktop& desktop,
                                                          std::shared_ptr<Scheduler> scheduler,
                                                          std::shared_ptr<Settings> settings, std::string* error) {
  if (!desktop.displays || !desktop.poster) {
    if (error) *error = "no GNOME desktop";
    return std::nullopt;
  }
  GnomeCapture::Options capture;
  capture.frames = desktop.frames;
  capture.audio = std::make_shared<PulseSystemAudio>();
  return assemble(desktop.displays, desktop.poster, std::make_shared<GnomeCapture>(std::move(capture)),
                  std::move(scheduler), std::move(settings));
}

std::optional<GnomeHostParts> openGnomeHost(std::shared_ptr<Scheduler> scheduler, std::shared_ptr<Settings> settings,
                                            std::string* error) {
  auto desktop = GnomeDesktop::open(error);
  if (!desktop) return std::nullopt;
  Settings& store = *settings;
  auto backends = SessionBackends::openGnome(*desktop, std::move(scheduler), std::move(settings), error);
  if (!backends) return std::nullopt;
  GnomeHostParts parts;
  parts.displays = std::make_shared<VirtualDisplayController>(desktop->displays, store);
  parts.sessions = std::make_shared<const SessionBackends>(std::move(*backends));
  return parts;
}

}  // namespace tavlo
