#pragma once
// The machine's IPv4 interface addresses, and the two choices made from them: which subnets count as
// the local network, and which private address a router on the LAN should forward to.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

struct InterfaceAddress {
  std::string name;
  uint32_t address = 0;  // host byte order
  uint32_t netmask = 0;  // host byte order
  bool up = false;
  bool loopback = false;
  bool pointToPoint = false;
};

// Every IPv4 address of every interface, in the system's order; empty when the list cannot be read.
std::vector<InterfaceAddress> listIPv4Interfaces();

// Whether the interface is a tunnel or a dial-up link (by its kind or its usual name): a peer behind
// one is reached through a VPN, not on the local network.
bool isTunnelInterface(const InterfaceAddress& entry);

struct Subnet {
  uint32_t network = 0;  // host byte order
  uint32_t mask = 0;
};

// The subnets of the local network: every address with a non-zero mask, skipping loopback, tunnel and
// point-to-point interfaces, in list order.
std::vector<Subnet> localIPv4Subnets(const std::vector<InterfaceAddress>& interfaces);

// 10/8, 172.16/12 and 192.168/16.
bool isPrivateIPv4(uint32_t address);
std::string ipv4Text(uint32_t address);

// The private address a router on the LAN should forward to: the one on `defaultRouteInterface` when
// it has one, otherwise the first private address of an up, non-loopback interface that is neither a
// tunnel nor a container or virtual-machine bridge. None when there is no such address.
std::optional<std::string> preferredPrivateIPv4(const std::vector<InterfaceAddress>& interfaces,
                                                const std::string& defaultRouteInterface);

}  // namespace tavlo
