#pragma once
// Whether a port is free for the host's listener, found by binding it the way the listener binds
// (every address, dual stack where the machine has IPv6) with a socket that is closed at once.
//
// TCP sets address reuse as the listener does, so connections of an earlier run still waiting out
// TIME_WAIT do not count; it never sets port reuse, which would let the probe share a port that
// another process of this user holds with port reuse. UDP sets no option at all: on Linux two
// sockets that both ask for address reuse may bind the same UDP port, so a probe with it would call
// a port free that another process holds.
#include <cstdint>

namespace tavlo {

bool canBindTcpPort(uint16_t port);
bool canBindUdpPort(uint16_t port);

}  // namespace tavlo
