#include "host/controller/daemon_unit.hpp"

namespace tavlo {
namespace {

constexpr std::string_view kVersionKey = "X-Tavlo-Version=";

}  // namespace

std::optional<std::string> quoteExecWord(std::string_view word) {
  std::string quoted = "\"";
  for (char c : word) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
    switch (c) {
      case '\\': quoted += "\\\\"; break;
      case '"': quoted += "\\\""; break;
      case '%': quoted += "%%"; break;  // a specifier otherwise
      case '$': quoted += "$$"; break;  // an environment variable otherwise
      default: quoted += c;
    }
  }
  return quoted + "\"";
}

std::optional<std::string> renderDaemonUnit(const DaemonUnit& unit, std::string_view version) {
  auto exec = quoteExecWord(unit.executable.string());
  if (!exec) return std::nullopt;
  for (char c : version) {
    if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
  }
  std::string text;
  text += "# Written by the Tavlo host, which replaces it when its version changes.\n";
  text += "[Unit]\n";
  text += "Description=" + unit.description + "\n";
  text += "After=pipewire.service\n";
  text += "Wants=pipewire.service\n\n";
  text += "[Service]\n";
  text += "ExecStart=" + *exec + "\n";
  text += "Restart=on-failure\n";
  text += "RestartSec=2\n";
  text += std::string(kVersionKey) + std::string(version) + "\n\n";
  text += "[Install]\n";
  text += "WantedBy=default.target\n";
  return text;
}

std::optional<std::string> daemonUnitVersion(std::string_view unitText) {
  size_t at = 0;
  while (at < unitText.size()) {
    size_t end = unitText.find('\n', at);
    if (end == std::string_view::npos) end = unitText.size();
    std::string_view line = unitText.substr(at, end - at);
    if (line.starts_with(kVersionKey)) return std::string(line.substr(kVersionKey.size()));
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace tavlo
