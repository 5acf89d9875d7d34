#pragma once
// The bind datagram: a bare 16-byte header (message type 0, flags 0, session 0, sequence 0) that a
// client sends first on each datagram flow, so the host learns the flow's source address, and later as
// the flow's keepalive.
#include "platform/runtime/bytes.hpp"
#include "protocol/packet_header.hpp"

namespace vela {

Bytes flowBindDatagram(Channel channel);

}  // namespace vela
