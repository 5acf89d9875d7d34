#pragma once
// What a peer counts as in the per-address caps of everything that waits for it to prove itself (its
// connection waiting for its flows, its handshake, its admission). A cap per address only separates
// peers when one peer cannot cheaply be many addresses:
// - an IPv4 address is itself;
// - an IPv6 address counts by its /64, the block one subscriber or one link is given: whoever holds one
//   address of it can use them all (an IPv4-mapped one counts as its IPv4 address);
// - a relayed peer counts by the client identity the relay gave for it ("relay/klient/" and the
//   client's address as the relay saw it, keyed as above); a relay that gives none leaves all its
//   relayed peers one key, as they cannot be told apart.
#include <string>
#include <vector>

namespace vela {

// The host part of an endpoint text: "[v6]:port" gives v6, "a.b.c.d:port" gives a.b.c.d; a text
// with no colon or several (a bare IPv6 address) is returned whole. Flows join the connection of
// exactly this address.
std::string ipPart(const std::string& endpoint);

// The address blocks a remote description counts under where waiting room is shared fairly, widest
// first: an IPv4 address by its /24 and itself, an IPv6 one by its /48, its /64 and itself (whoever
// rents many addresses usually gets them from one such block); a relayed peer by its key alone.
std::vector<std::string> peerAddressBlocks(const std::string& remoteDescription);

// The key of a remote description ("a.b.c.d:port", "[v6]:port", a bare address, or "relay/...").
std::string peerAddressKey(const std::string& remoteDescription);

}  // namespace vela
