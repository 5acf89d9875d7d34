#pragma once
// The 22-byte header in front of every relayed datagram, and the receive-side filter:
//
//   0  4  magic "TLR1"
//   4 16  session token
//  20  1  slot + 1 (1 video, 2 audio, 3 unreliable input)
//  21  1  sender's side (0 client, 1 host)
//  22  n  payload; n = 0 is a keepalive that keeps the relay's binding of the flow's address alive
#include <array>
#include <cstdint>
#include <optional>

#include "platform/runtime/bytes.hpp"
#include "transport/relay.hpp"

namespace vela {

struct RelayDatagramHeader {
  static constexpr size_t size = 22;
  static constexpr size_t slotOffset = 20;
  static constexpr size_t sideOffset = 21;

  std::array<uint8_t, size> bytes{};

  // nullopt when the token is not exactly 16 bytes.
  static std::optional<RelayDatagramHeader> make(ByteView token, Relay::Slot slot, Relay::Side side);

  ByteView view() const { return ByteView(bytes.data(), bytes.size()); }

  // The payload of a datagram received by the flow that owns this header: present only for a datagram
  // with a payload (more than 22 bytes), the same magic, token and slot, sent by the other side.
  // The view points into `datagram`.
  std::optional<ByteView> payloadFor(ByteView datagram) const;
};

}  // namespace vela
