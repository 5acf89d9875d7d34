#include "platform/net/route_table.hpp"

#include <gtest/gtest.h>

#include "platform/net/network_interfaces.hpp"

namespace tavlo {
namespace {

constexpr const char* header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(RouteTable, TheDefaultRouteWithTheLowestMetricGivesTheGateway) {
  std::string table = std::string(header) +
                      "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
                      "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                      "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                      "garbage line\n";
  auto route = parseDefaultRoute(table);
  ASSERT_TRUE(route);
  EXPECT_EQ(route->interfaceName, "eth0");
  EXPECT_EQ(route->gateway, "192.168.0.1");
  // A default route straight onto a tunnel has no gateway; no default route at all gives none.
  auto tunnel = parseDefaultRoute(std::string(header) + "wg0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n");
  ASSERT_TRUE(tunnel);
  EXPECT_FALSE(tunnel->gateway);
  EXPECT_FALSE(parseDefaultRoute(std::string(header) + "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"));
}

InterfaceAddress entry(std::string name, uint32_t address, uint32_t mask, bool p2p = false) {
  return {std::move(name), address, mask, true, false, p2p};
}

TEST(NetworkInterfaces, LocalSubnetsLeaveOutTunnelsAndTheRouterAddressComesFromTheDefaultRoute) {
  const std::vector<InterfaceAddress> list = {
      {"lo", 0x7F000001, 0xFF000000, true, true, false},
      entry("docker0", 0xAC110001, 0xFFFF0000),   // 172.17.0.1/16
      entry("tun0", 0x0A080001, 0xFFFFFF00),      // 10.8.0.1/24
      entry("wg0", 0x64400005, 0xFFFFFFFF),       // 100.64.0.5/32
      entry("vpn", 0x0A090001, 0xFFFFFFFF, true),  // point-to-point by its flag
      entry("eth0", 0xC0A80114, 0xFFFFFF00),      // 192.168.1.20/24
  };
  auto subnets = localIPv4Subnets(list);
  ASSERT_EQ(subnets.size(), 2u);
  EXPECT_EQ(subnets[0].network, 0xAC110000u);
  EXPECT_EQ(subnets[1].network, 0xC0A80100u);
  EXPECT_EQ(preferredPrivateIPv4(list, "eth0"), "192.168.1.20");
  // Without a default route the first private address that is not a tunnel or a bridge is used.
  EXPECT_EQ(preferredPrivateIPv4(list, ""), "192.168.1.20");
  EXPECT_FALSE(preferredPrivateIPv4({entry("eth0", 0xCB007109, 0xFFFFFF00)}, "eth0"));  // public only
}

}  // namespace
}  // namespace tavlo
