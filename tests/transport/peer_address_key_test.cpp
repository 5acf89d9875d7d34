// What a peer counts as in the per-address caps: the cheapest way for one peer to be many addresses
// must still give one key.
#include "transport/peer_address_key.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela {
namespace {

TEST(PeerAddressKey, OnePeerThatCanBeManyAddressesCountsAsOne) {
  struct Row {
    const char* remote;
    const char* key;
    const char* why;
  };
  const Row rows[] = {
      {"192.168.1.20:50123", "192.168.1.20", "IPv4 is its address"},
      {"[2001:db8:5:6::1]:5000", "2001:db8:5:6::/64", "IPv6 counts by its /64"},
      {"[2001:db8:5:6:ffff:1:2:3]:6000", "2001:db8:5:6::/64", "any address of that /64"},
      {"[2001:db8:5:7::1]:5000", "2001:db8:5:7::/64", "the next /64 is another peer"},
      {"fd7a:115c::5", "fd7a:115c::/64", "a bare IPv6 address"},
      {"[fe80::1%eth0]:5000", "fe80::/64", "the zone of a link-local address is not part of it"},
      {"[::ffff:10.0.0.9]:5000", "10.0.0.9", "an IPv4-mapped address is its IPv4 address"},
      {"relay/klient/203.0.113.5", "relay/klient/203.0.113.5", "a relayed client by the address the relay named"},
      {"relay/klient/2001:db8:5:6::9", "relay/klient/2001:db8:5:6::/64", "a relayed IPv6 client by its /64"},
      {"Relay/Klient", "relay/klient", "a relay that names nobody: one key for all it relays"},
      {"?", "?", "an endpoint that cannot be printed"},
  };
  for (const Row& row : rows) EXPECT_EQ(peerAddressKey(row.remote), row.key) << row.why;
}

TEST(PeerAddressKey, BlocksGoFromTheWidestARenterIsGivenDownToTheAddress) {
  struct Row {
    const char* remote;
    std::vector<std::string> blocks;
    const char* why;
  };
  const Row rows[] = {
      {"127.0.3.7:40000", {"127.0.3.0/24", "127.0.3.7"}, "IPv4 by its /24, then itself"},
      {"[::ffff:10.0.0.9]:5000", {"10.0.0.0/24", "10.0.0.9"}, "an IPv4-mapped address as its IPv4 address"},
      {"[2001:db8:5:6::1]:5000", {"2001:db8:5::/48", "2001:db8:5:6::/64", "2001:db8:5:6::1"}, "IPv6 by /48, /64, itself"},
      {"[fe80::1%eth0]:5000", {"fe80::/48", "fe80::/64", "fe80::1"}, "without the zone"},
      {"relay/klient/203.0.113.5", {"relay/klient/203.0.113.5"}, "a relayed peer by its key alone"},
      {"?", {"?"}, "an endpoint that cannot be printed"},
  };
  for (const Row& row : rows) EXPECT_EQ(peerAddressBlocks(row.remote), row.blocks) << row.why;
}

TEST(PeerAddressKey, IpPartTakesTheHostOfAnEndpointText) {
  struct Row {
    const char* endpoint;
    const char* ip;
    const char* why;
  };
  const Row rows[] = {
      {"[fe80::1]:5000", "fe80::1", "bracketed IPv6 with a port"},
      {"192.168.1.20:50123", "192.168.1.20", "IPv4 with a port"},
      {"fe80::1", "fe80::1", "a bare IPv6 address is taken whole"},
      {"?", "?", "no colon"},
      {"[::1", "[::1", "an unclosed bracket is not an address in brackets"},
  };
  for (const auto& row : rows) EXPECT_EQ(ipPart(row.endpoint), row.ip) << row.why;
}

}  // namespace
}  // namespace vela
