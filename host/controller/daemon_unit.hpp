#pragma once
// The systemd user unit of one device daemon, as the host writes it. The text carries the host's
// version, so a unit written by another version (or for an executable elsewhere) reads as out of date
// and is replaced.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tavlo {

struct DaemonUnit {
  std::string unitName;     // "tavlo-micd.service"
  std::string description;  // what `systemctl status` shows
  std::filesystem::path executable;
};

// The unit file for `unit` at `version`; nullopt when the executable's path cannot be written into a
// unit file (a control character in it).
std::optional<std::string> renderDaemonUnit(const DaemonUnit& unit, std::string_view version);

// The version a unit file was written for; nullopt when it carries none.
std::optional<std::string> daemonUnitVersion(std::string_view unitText);

// The executable of a unit's ExecStart (its first word), as systemd reads it back: double-quoted, '%'
// doubled (a specifier otherwise), '$' as it is (systemd expands variables in arguments only), and each
// byte that is not part of valid UTF-8 written as \xNN (systemd ignores a line that is not UTF-8).
// nullopt for a path systemd refuses as an executable however it is written: one holding a control
// character, '"', '\'' or '\\'.
std::optional<std::string> quoteExecStartPath(std::string_view path);

}  // namespace tavlo
