#include "host/controller/autostart_unit.hpp"

#include "host/controller/daemon_unit.hpp"

namespace tavlo {
namespace {

bool hasControlCharacter(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// The Exec value that runs `path` with no arguments: quoted where the desktop-entry rules reserve a
// character, with `"`, `` ` ``, `$` and `\` escaped inside the quotes; then, as every string value of the
// file, each `\` doubled; `%` (a field code) written `%%`.
std::string desktopExecValue(std::string_view path) {
  static constexpr std::string_view reserved = " \t\"'\\><~|&;$*?#()`";
  std::string argument;
  if (path.find_first_of(reserved) == std::string_view::npos) {
    argument = path;
  } else {
    argument = "\"";
    for (char c : path) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
      argument += c;
    }
    argument += '"';
  }
  std::string value;
  for (char c : argument) {
    if (c == '\\') value += "\\\\";
    else if (c == '%') value += "%%";
    else value += c;
  }
  return value;
}

}  // namespace

std::string_view autostartUnitName(AutostartUnitKind kind) {
  return kind == AutostartUnitKind::plain ? "tavlo-host-login.service" : "tavlo-host-login-keepalive.service";
}

std::string_view autostartEntryName(AutostartUnitKind kind) {
  return kind == AutostartUnitKind::plain ? "tavlo-host-login.desktop" : "tavlo-host-login-keepalive.desktop";
}

std::optional<std::string> renderKeepRunningUnit(const std::filesystem::path& executable, std::string_view version) {
  auto exec = quoteExecStartPath(executable.string());
  if (!exec || hasControlCharacter(version)) return std::nullopt;
  std::string text;
  text += "# Written by the Tavlo host to keep it running; started by the host its login entry starts.\n";
  text += "[Unit]\n";
  text += "Description=Tavlo host (kept running)\n";
  // Where the desktop has the target, the service ends with the session; elsewhere the host ends itself
  // when its display goes, with the status that tells the manager not to restart it.
  text += "After=graphical-session.target\n";
  text += "PartOf=graphical-session.target\n\n";
  text += "[Service]\n";
  text += "ExecStart=" + *exec + "\n";
  // A quit exits 0: only an unconditional restart brings the host (or its new version) back.
  text += "Restart=always\nRestartSec=2\n";
  text += "RestartPreventExitStatus=7\n";
  text += "X-Tavlo-Version=" + std::string(version) + "\n";
  return text;
}

std::optional<std::string> renderAutostartEntry(AutostartUnitKind kind, const std::filesystem::path& executable,
                                                std::string_view version) {
  const std::string path = executable.string();
  if (path.empty() || path.front() != '/' || hasControlCharacter(path) || hasControlCharacter(version)) {
    return std::nullopt;
  }
  const bool keep = kind == AutostartUnitKind::keepRunning;
  std::string text;
  text += "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Name=Tavlo host\n";
  text += keep ? "Comment=Starts the Tavlo host at login and keeps it running\n"
               : "Comment=Starts the Tavlo host at login\n";
  text += "Exec=" + desktopExecValue(path) + "\n";
  text += "Terminal=false\n";
  text += "NoDisplay=true\n";
  text += "X-GNOME-Autostart-enabled=true\n";
  text += "X-Tavlo-Version=" + std::string(version) + "\n";
  return text;
}

namespace {

std::optional<std::filesystem::path> configFolder(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') return std::filesystem::path(xdgConfigHome);
  if (home != nullptr && home[0] == '/') return std::filesystem::path(home) / ".config";
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> userUnitDirectory(const char* xdgConfigHome, const char* home) {
  auto config = configFolder(xdgConfigHome, home);
  if (!config) return std::nullopt;
  return *config / "systemd" / "user";
}

std::optional<std::filesystem::path> userAutostartDirectory(const char* xdgConfigHome, const char* home) {
  auto config = configFolder(xdgConfigHome, home);
  if (!config) return std::nullopt;
  return *config / "autostart";
}

}  // namespace tavlo
