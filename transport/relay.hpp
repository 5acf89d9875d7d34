#pragma once
// What the host and the client halves of the relay path share: the relay service's ports, the
// datagram slots and sides, and the gate MAC by which a client shows that it knows the host's key.
//
// The relay service is outside the system: host and client both connect out to it, talk to it in
// short text lines over TCP and send their session datagrams to its UDP port behind a 22-byte header.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

struct Relay {
  static constexpr uint16_t tcpPort = 47800;  // line protocol, then the TCP multiplex of a session
  static constexpr uint16_t udpPort = 47801;  // relayed datagrams
  static constexpr std::array<uint8_t, 4> udpMagic = {'T', 'L', 'R', '1'};

  // Session tokens are chosen by the service: 16 bytes, 32 hexadecimal characters in lines.
  static constexpr size_t tokenBytes = 16;

  // The datagram slot of a relayed session; the header carries the value + 1.
  enum class Slot : uint8_t { video = 0, audio = 1, inputUnreliable = 2 };
  // The sender's side; the header carries the value as it is.
  enum class Side : uint8_t { client = 0, host = 1 };

  // HMAC-SHA256 of the UTF-8 host identifier under the host's raw 32-byte public signing key, in
  // standard Base64 with padding (44 characters). Ties a client's request to the key that the host
  // registered with the service. Empty only when the crypto library fails.
  static std::string gateMAC(std::string_view hostID, ByteView sigPub);
};

// Where a relay service is reached. There is no default service: the host registers only with the one
// the user names (`--relay`, the `tl.relay` setting), on the service's ports unless the name gives others.
struct RelayService {
  std::string host;
  uint16_t tcpPort = Relay::tcpPort;
  uint16_t udpPort = Relay::udpPort;
};

}  // namespace vela
