#include "host/controller/autostart_unit.hpp"

#include "host/controller/daemon_unit.hpp"

namespace tavlo {

std::string_view autostartUnitName(AutostartUnitKind kind) {
  return kind == AutostartUnitKind::plain ? "tavlo-host-login.service" : "tavlo-host-login-keepalive.service";
}

std::optional<std::string> renderAutostartUnit(AutostartUnitKind kind, const std::filesystem::path& executable,
                                               std::string_view version) {
  auto exec = quoteExecStartPath(executable.string());
  if (!exec) return std::nullopt;
  for (char c : version) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  }
  const bool keep = kind == AutostartUnitKind::keepRunning;
  std::string text;
  text += "# Written by the Tavlo host for its start at login.\n";
  text += "[Unit]\n";
  text += keep ? "Description=Tavlo host (started at login, kept running)\n"
               : "Description=Tavlo host (started at login)\n";
  text += "After=graphical-session.target\n";
  text += "PartOf=graphical-session.target\n\n";
  text += "[Service]\n";
  text += "ExecStart=" + *exec + "\n";
  // A quit exits 0: only an unconditional restart brings the host (or its new version) back.
  text += keep ? "Restart=always\nRestartSec=2\n" : "Restart=no\n";
  text += "X-Tavlo-Version=" + std::string(version) + "\n\n";
  text += "[Install]\n";
  text += "WantedBy=graphical-session.target\n";
  return text;
}

std::optional<std::filesystem::path> userUnitDirectory(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
    return std::filesystem::path(xdgConfigHome) / "systemd" / "user";
  }
  if (home != nullptr && home[0] == '/') return std::filesystem::path(home) / ".config" / "systemd" / "user";
  return std::nullopt;
}

}  // namespace tavlo
