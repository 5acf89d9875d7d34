#pragma once
// The IPv4 default route as the kernel lists it in /proc/net/route: the interface that carries it and
// the gateway it goes through.
#include <optional>
#include <string>
#include <string_view>

namespace tavlo {

struct DefaultRoute {
  std::string interfaceName;
  std::optional<std::string> gateway;  // dotted IPv4; none for a route straight onto a link (a tunnel)
};

// The default route of a route table in the /proc/net/route format: the usable entry (up) with
// destination and mask 0 and the lowest metric. Lines that do not parse are skipped.
std::optional<DefaultRoute> parseDefaultRoute(std::string_view routeTable);

// The current default route of this network namespace; none when there is none or the table cannot be read.
std::optional<DefaultRoute> currentDefaultRoute();

// The IPv4 default gateway (the address a home router answers on); none without one.
std::optional<std::string> defaultGatewayIPv4();

}  // namespace tavlo
