#pragma once
// What kind of path a transport runs over, judged from its peer description ("host:port",
// "[v6]:port", or "relay/..."), and the client's own reports of its network interface.
#include <string>
#include <string_view>

#include "protocol/path_messages.hpp"

namespace vela {

namespace PathKind {
inline constexpr const char* lan = "LAN";
inline constexpr const char* nat = "NAT";
inline constexpr const char* relay = "przekaźnik";
inline constexpr const char* unknown = "—";
}  // namespace PathKind

// "LAN" for loopback, private, link-local and unique-local hosts; "przekaźnik" for a relayed
// description; "NAT" for any other host; "—" when the description names no host.
std::string classifyPath(std::string_view description);

// The interface's name in the log: "WiFi", "komórkowa", "przewodowa", "inna".
const char* interfaceName(ClientPathMessage::Iface iface);
// "📡 ścieżka klienta: <name>" with " (droga)" when expensive and " (OSZCZĘDZANIE DANYCH!)" when
// constrained.
std::string clientPathLine(const ClientPathMessage& path);

}  // namespace vela
