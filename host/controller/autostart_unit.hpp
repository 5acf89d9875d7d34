#pragma once
// What starts the host at login, as the desktop expects it:
// - an XDG autostart entry ($XDG_CONFIG_HOME/autostart/*.desktop) starts the host when the user's desktop
//   session starts, with the session's display and bus; every desktop honours one (GNOME, KDE, Xfce, MATE,
//   Cinnamon, LXQt), unlike systemd's graphical-session.target, which several never start;
// - to keep it running, a systemd user service restarts the host after every exit (a quit from the tray
//   exits 0, so the restart is unconditional; the update installer counts on it to start the new
//   version). It has no [Install] section: the host that the autostart entry starts hands the session's
//   display over to the user manager and starts the service, then gives way to the service's instance.
// The plain kind is its entry alone; the keep-running kind is its own entry and the service.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tavlo {

enum class AutostartUnitKind { plain, keepRunning };

// The unit of earlier versions, which ran the host as "tavlo-host.service": only ever retired, never written.
inline constexpr std::string_view legacyHostUnitName = "tavlo-host.service";

// The systemd user unit of each kind: "tavlo-host-login-keepalive.service" is the keep-running service;
// "tavlo-host-login.service" is the plain login unit of earlier versions, only retired now.
std::string_view autostartUnitName(AutostartUnitKind kind);
// "tavlo-host-login.desktop" and "tavlo-host-login-keepalive.desktop".
std::string_view autostartEntryName(AutostartUnitKind kind);

// The keep-running service that runs `executable`; nullopt when systemd cannot be told to run that path
// (see quoteExecStartPath) or the version holds a control character.
std::optional<std::string> renderKeepRunningUnit(const std::filesystem::path& executable, std::string_view version);
// The autostart entry of `kind` that runs `executable`; nullopt when the path or the version holds a
// control character (a desktop entry is one line per key).
std::optional<std::string> renderAutostartEntry(AutostartUnitKind kind, const std::filesystem::path& executable,
                                                std::string_view version);

// Where a user unit lives: $XDG_CONFIG_HOME/systemd/user, else ~/.config/systemd/user; nullopt when neither
// variable is set to an absolute path.
std::optional<std::filesystem::path> userUnitDirectory(const char* xdgConfigHome, const char* home);
// Where autostart entries live: $XDG_CONFIG_HOME/autostart, else ~/.config/autostart; nullopt as above.
std::optional<std::filesystem::path> userAutostartDirectory(const char* xdgConfigHome, const char* home);

}  // namespace tavlo
