#pragma once
// The path over which a client reached the host, judged from a transport's remote description
// ("a.b.c.d:port", "[v6]:port", a bare address, or "relay/..."), and whether the user allows it.
//
// This is the controller's classification: it knows the machine's own subnets and tells a VPN apart.
// The streaming session has a coarser one of its own for its log and pacing.
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/net/network_interfaces.hpp"
#include "platform/runtime/json_store.hpp"

namespace tavlo {

enum class PathKind : uint8_t { lan, vpn, nat, relay };

// The case name, as log lines print it: "lan", "vpn", "nat", "relay".
const char* pathKindName(PathKind kind);

// `localSubnets` is asked only for a dotted IPv4 peer. Loopback and link-local peers are the LAN; an
// IPv4 peer on a local subnet is the LAN, a private or carrier-grade one elsewhere a VPN, any other
// one NAT; an IPv6 peer is the LAN when link-local, a VPN when unique-local, NAT otherwise.
PathKind pathKind(std::string_view remote, const std::function<std::vector<Subnet>()>& localSubnets);

// The user default of the kind ("tl.allowLAN", "tl.allowVPN", "tl.allowNAT", "tl.allowRelay"), read
// from the store each time; a missing key or a value that is not a Bool allows the path. Safe from
// any thread.
bool isPathAllowed(PathKind kind, const JsonStore& defaults);

}  // namespace tavlo
