#pragma once
// The two systemd user units that start the host at login: a plain one that starts it once, and a
// keep-running one that starts it again after every exit (a quit from the tray exits 0, so the restart
// has to be unconditional; the update installer counts on it to start the new version).
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tavlo {

enum class AutostartUnitKind { plain, keepRunning };

// The unit of earlier versions, which ran the host as "tavlo-host.service": only ever retired, never written.
inline constexpr std::string_view legacyHostUnitName = "tavlo-host.service";

// "tavlo-host-login.service" and "tavlo-host-login-keepalive.service".
std::string_view autostartUnitName(AutostartUnitKind kind);

// The unit file that runs `executable` for `kind`; nullopt when systemd cannot be told to run that path
// (see quoteExecStartPath) or the version holds a control character.
std::optional<std::string> renderAutostartUnit(AutostartUnitKind kind, const std::filesystem::path& executable,
                                               std::string_view version);

// Where a user unit lives: $XDG_CONFIG_HOME/systemd/user, else ~/.config/systemd/user; nullopt when neither
// variable is set to an absolute path.
std::optional<std::filesystem::path> userUnitDirectory(const char* xdgConfigHome, const char* home);

}  // namespace tavlo
