#include "host/controller/daemon_unit.hpp"

namespace tavlo {
namespace {

constexpr std::string_view kVersionKey = "X-Tavlo-Version=";

// The length of the well-formed UTF-8 sequence `text` starts with (no overlong forms, no surrogates,
// nothing past U+10FFFF); 0 when it starts with none.
size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  const unsigned lead = byte(0);
  const auto continuation = [&](size_t i, unsigned low = 0x80, unsigned high = 0xbf) {
    return byte(i) >= low && byte(i) <= high;
  };
  if (lead >= 0xc2 && lead <= 0xdf) return continuation(1) ? 2 : 0;
  if (lead >= 0xe0 && lead <= 0xef) {
    const unsigned low = lead == 0xe0 ? 0xa0 : 0x80, high = lead == 0xed ? 0x9f : 0xbf;
    return continuation(1, low, high) && continuation(2) ? 3 : 0;
  }
  if (lead >= 0xf0 && lead <= 0xf4) {
    const unsigned low = lead == 0xf0 ? 0x90 : 0x80, high = lead == 0xf4 ? 0x8f : 0xbf;
    return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::optional<std::string> quoteExecStartPath(std::string_view path) {
  std::string quoted = "\"";
  for (size_t at = 0; at < path.size();) {
    const auto c = static_cast<unsigned char>(path[at]);
    // systemd refuses these in an executable's name even when they are escaped.
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\'' || c == '\\') return std::nullopt;
    if (c >= 0x80) {
      const size_t length = utf8SequenceLength(path.substr(at));
      if (length > 0) {
        quoted += path.substr(at, length);
        at += length;
      } else {
        static constexpr char hex[] = "0123456789abcdef";
        quoted += {'\\', 'x', hex[c >> 4], hex[c & 0xf]};
        ++at;
      }
      continue;
    }
    if (c == '%') quoted += '%';  // "%%" is a literal '%'
    quoted += static_cast<char>(c);
    ++at;
  }
  return quoted + "\"";
}

std::optional<std::string> renderDaemonUnit(const DaemonUnit& unit, std::string_view version) {
  auto exec = quoteExecStartPath(unit.executable.string());
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
