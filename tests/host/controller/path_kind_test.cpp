#include "host/controller/path_kind.hpp"

#include <gtest/gtest.h>

#include "host/controller/local_subnets.hpp"
#include "platform/runtime/clock.hpp"

namespace tavlo {
namespace {

// The machine sits on 192.168.1.0/24 and 100.101.0.0/16 (a carrier-grade range used as a LAN).
std::vector<Subnet> localNetworks() { return {{0xC0A80100, 0xFFFFFF00}, {0x64650000, 0xFFFF0000}}; }

TEST(PathKind, ClassifiesRemoteDescriptions) {
  struct Row {
    const char* remote;
    PathKind kind;
    const char* why;
  };
  const Row rows[] = {
      {"[fe80::1%en0]:51000", PathKind::lan, "link-local IPv6 in brackets"},
      {"fd7a:115c::5", PathKind::vpn, "bare unique-local IPv6 (several colons)"},
      {"[fd7a:115c::5]:7000", PathKind::vpn, "unique-local IPv6 in brackets"},
      {"[2001:db8::1]:7000", PathKind::nat, "global IPv6"},
      {"100.101.102.103:5000", PathKind::lan, "carrier-grade address on a local subnet"},
      {"100.64.0.1:5000", PathKind::vpn, "carrier-grade address elsewhere"},
      {"10.8.0.2:5000", PathKind::vpn, "private address not on a local subnet"},
      {"172.20.1.1:5000", PathKind::vpn, "172.16/12 not on a local subnet"},
      {"172.32.0.1:5000", PathKind::nat, "just outside 172.16/12"},
      {"192.168.1.40:5000", PathKind::lan, "on the local subnet"},
      {"192.168.7.40:5000", PathKind::vpn, "private, other subnet"},
      {"203.0.113.9:5000", PathKind::nat, "public address"},
      {"127.0.0.1:5000", PathKind::lan, "loopback"},
      {"::1", PathKind::lan, "bare IPv6 loopback"},
      {"169.254.3.4:1", PathKind::lan, "IPv4 link-local"},
      {"203.0.113.9", PathKind::nat, "a bare address, as the probe responder passes it"},
      {"relay/ABC", PathKind::relay, "relayed"},
      {"Relay/abc:1", PathKind::relay, "relayed, any case"},
      {"host.example:1", PathKind::nat, "not an address"},
  };
  for (const Row& row : rows) EXPECT_EQ(pathKind(row.remote, localNetworks), row.kind) << row.remote << ": " << row.why;
}

TEST(PathKind, WithoutLocalSubnetsEveryPrivatePeerIsAVpnPeer) {
  EXPECT_EQ(pathKind("192.168.1.40:5000", {}), PathKind::vpn);
  EXPECT_EQ(pathKindName(PathKind::relay), std::string("relay"));
}

TEST(PathKind, EachKindFollowsItsOwnDefaultAndMissingOrOddValuesAllow) {
  JsonStore defaults;
  defaults.set("tl.allowVPN", false);
  defaults.set("tl.allowNAT", "no");  // not a Bool: allowed
  EXPECT_TRUE(isPathAllowed(PathKind::lan, defaults));
  EXPECT_FALSE(isPathAllowed(PathKind::vpn, defaults));
  EXPECT_TRUE(isPathAllowed(PathKind::nat, defaults));
  EXPECT_TRUE(isPathAllowed(PathKind::relay, defaults));
  defaults.set("tl.allowRelay", false);
  EXPECT_FALSE(isPathAllowed(PathKind::relay, defaults));
}

TEST(LocalSubnets, EnumeratesAgainOnlyAfterThirtySecondsOrWhenEmpty) {
  FakeClock clock;
  int walks = 0;
  std::vector<Subnet> answer;
  LocalSubnets subnets(clock, [&] {
    ++walks;
    return answer;
  });
  subnets.current();
  answer = localNetworks();
  EXPECT_EQ(subnets.current().size(), 2u) << "an empty list is asked for again";
  clock.advanceUs(LocalSubnets::cacheLifetimeUs - 1);
  subnets.current();
  EXPECT_EQ(walks, 2);
  clock.advanceUs(1);
  subnets.current();
  EXPECT_EQ(walks, 3);
}

}  // namespace
}  // namespace tavlo
