#include "transport/relay_datagram_header.hpp"

#include <algorithm>

namespace vela {

std::optional<RelayDatagramHeader> RelayDatagramHeader::make(ByteView token, Relay::Slot slot, Relay::Side side) {
  if (token.size() != Relay::tokenBytes) return std::nullopt;
  RelayDatagramHeader header;
  auto out = std::copy(Relay::udpMagic.begin(), Relay::udpMagic.end(), header.bytes.begin());
  std::copy(token.begin(), token.end(), out);
  header.bytes[slotOffset] = static_cast<uint8_t>(static_cast<uint8_t>(slot) + 1);
  header.bytes[sideOffset] = static_cast<uint8_t>(side);
  return header;
}

std::optional<ByteView> RelayDatagramHeader::payloadFor(ByteView datagram) const {
  if (datagram.size() <= size) return std::nullopt;                   // keepalive, or cut short
  if (datagram[slotOffset] != bytes[slotOffset]) return std::nullopt;  // another slot
  if (datagram[sideOffset] == bytes[sideOffset]) return std::nullopt;  // our own side
  if (!std::equal(bytes.begin(), bytes.begin() + slotOffset, datagram.begin())) return std::nullopt;
  return datagram.subspan(size);
}

}  // namespace vela
