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

// One command-line word for a unit's ExecStart: double-quoted, with backslash, quote, and the
// characters systemd would expand (% and $) escaped. nullopt for control characters.
std::optional<std::string> quoteExecWord(std::string_view word);

}  // namespace tavlo
