#include "platform/net/network_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <memory>
#include <string_view>

namespace tavlo {
namespace {

// Name prefixes of links that carry a VPN or a dial-up connection on Linux.
constexpr std::array<std::string_view, 8> tunnelPrefixes{"tun", "tap", "wg", "ppp", "ipsec", "vti", "gre", "utun"};
// Name prefixes of bridges that containers and virtual machines put on the host: a router on the LAN
// cannot reach their addresses.
constexpr std::array<std::string_view, 8> bridgePrefixes{"docker", "br-", "virbr", "veth", "lxcbr", "lxdbr", "cni",
                                                         "podman"};

bool startsWithAny(const std::string& name, auto prefixes) {
  for (std::string_view p : prefixes)
    if (name.starts_with(p)) return true;
  return false;
}

}  // namespace

std::vector<InterfaceAddress> listIPv4Interfaces() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
  std::vector<InterfaceAddress> out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
    InterfaceAddress entry;
    entry.name = i->ifa_name;
    entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (i->ifa_netmask && i->ifa_netmask->sa_family == AF_INET)
      entry.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    entry.up = i->ifa_flags & IFF_UP;
    entry.loopback = i->ifa_flags & IFF_LOOPBACK;
    entry.pointToPoint = i->ifa_flags & IFF_POINTOPOINT;
    out.push_back(std::move(entry));
  }
  return out;
}

bool isTunnelInterface(const InterfaceAddress& entry) {
  return entry.pointToPoint || startsWithAny(entry.name, tunnelPrefixes);
}

std::vector<Subnet> localIPv4Subnets(const std::vector<InterfaceAddress>& interfaces) {
  std::vector<Subnet> out;
  for (const auto& entry : interfaces) {
    if (entry.loopback || entry.name.starts_with("lo") || isTunnelInterface(entry) || entry.netmask == 0) continue;
    out.push_back({entry.address & entry.netmask, entry.netmask});
  }
  return out;
}

bool isPrivateIPv4(uint32_t address) {
  return (address >> 24) == 10 || (address >> 20) == ((172u << 4) | 1u) || (address >> 16) == ((192u << 8) | 168u);
}

std::string ipv4Text(uint32_t address) {
  in_addr raw{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &raw, text, sizeof text);
  return text;
}

std::optional<std::string> preferredPrivateIPv4(const std::vector<InterfaceAddress>& interfaces,
                                                const std::string& defaultRouteInterface) {
  std::optional<std::string> fallback;
  for (const auto& entry : interfaces) {
    if (!entry.up || entry.loopback || !isPrivateIPv4(entry.address)) continue;
    if (!defaultRouteInterface.empty() && entry.name == defaultRouteInterface) return ipv4Text(entry.address);
    if (!fallback && !isTunnelInterface(entry) && !startsWithAny(entry.name, bridgePrefixes))
      fallback = ipv4Text(entry.address);
  }
  return fallback;
}

}  // namespace tavlo
