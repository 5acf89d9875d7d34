#include "protocol/packet_header.hpp"

namespace vela {

void PacketHeader::encode(ByteWriter& writer) const {
  writer.raw(VelaProtocol::magic);
  writer.u8(VelaProtocol::wireVersion);
  writer.u8(rawValue(channel));
  writer.u8(msgType);
  writer.u8(flags.rawValue);
  writer.u32(sessionId);
  writer.u32(seq);
}

PacketHeader PacketHeader::decode(ByteReader& reader) {
  std::array<uint8_t, 4> magic{};
  for (auto& b : magic) b = reader.u8();
  if (magic != VelaProtocol::magic) throw WireError::badMagic();
  uint8_t version = reader.u8();
  if (version != VelaProtocol::wireVersion) throw WireError::unsupportedVersion(version);
  uint8_t channelRaw = reader.u8();
  auto channel = channelFromRaw(channelRaw);
  if (!channel) throw WireError::unknownChannel(channelRaw);
  PacketHeader header;
  header.channel = *channel;
  header.msgType = reader.u8();
  header.flags = Flags{reader.u8()};
  if (header.flags.contains(Flags::encrypted)) throw WireError::encryptedNotSupported();
  header.sessionId = reader.u32();
  header.seq = reader.u32();
  return header;
}

}  // namespace vela
