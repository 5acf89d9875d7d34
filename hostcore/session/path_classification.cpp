#include "hostcore/session/path_classification.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "protocol/transport_interfaces.hpp"

namespace vela {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// 172.16.0.0/12: the second field is a decimal number from 16 to 31.
bool isPrivate172(std::string_view host) {
  if (!startsWith(host, "172.")) return false;
  std::string_view rest = host.substr(4);
  std::string_view field = rest.substr(0, rest.find('.'));
  int value = 0;
  auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  return error == std::errc() && end == field.data() + field.size() && !field.empty() && value >= 16 && value <= 31;
}

}  // namespace

std::string classifyPath(std::string_view description) {
  std::string lowered(description);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (isRelayedDescription(lowered)) return PathKind::relay;
  std::string_view d = lowered;
  std::string_view host = d;
  if (auto bracket = d.find(']'); bracket != std::string_view::npos) {
    host = d.substr(bracket == 0 ? 0 : 1, bracket == 0 ? 0 : bracket - 1);
  } else if (auto colon = d.rfind(':'); colon != std::string_view::npos) {
    host = d.substr(0, colon);
  }
  while (!host.empty() && (host.front() == '[' || host.front() == ']')) host.remove_prefix(1);
  while (!host.empty() && (host.back() == '[' || host.back() == ']')) host.remove_suffix(1);

  bool lan = startsWith(host, "127.") || host == "::1" || startsWith(host, "10.") || startsWith(host, "192.168.") ||
             startsWith(host, "169.254.") || isPrivate172(host) || startsWith(host, "fe80") ||
             startsWith(host, "fc") || startsWith(host, "fd");
  if (lan) return PathKind::lan;
  return host.empty() ? PathKind::unknown : PathKind::nat;
}

const char* interfaceName(ClientPathMessage::Iface iface) {
  switch (iface) {
    case ClientPathMessage::Iface::wifi: return "WiFi";
    case ClientPathMessage::Iface::cellular: return "komórkowa";
    case ClientPathMessage::Iface::wired: return "przewodowa";
    case ClientPathMessage::Iface::other: return "inna";
  }
  return "inna";
}

std::string clientPathLine(const ClientPathMessage& path) {
  std::string line = std::string("📡 ścieżka klienta: ") + interfaceName(path.iface);
  if (path.expensive) line += " (droga)";
  if (path.constrained) line += " (OSZCZĘDZANIE DANYCH!)";
  return line;
}

}  // namespace vela
