#pragma once
// The interface of every message record, and the framing of records into packets and back.
//
// A record type names its channel and message type, appends its payload to a ByteWriter and decodes
// itself from a ByteReader (throwing WireError). Bytes after a record's last field are ignored.
#include <concepts>
#include <cstdint>

#include "protocol/packet_header.hpp"

namespace vela {

template <class T>
concept WirePayload = requires(const T& record, ByteWriter& writer, ByteReader& reader) {
  { T::channel } -> std::convertible_to<Channel>;
  { T::msgType } -> std::convertible_to<uint8_t>;
  { record.encodePayload(writer) } -> std::same_as<void>;
  { T::decode(reader) } -> std::same_as<T>;
};

// Header (from the record type's channel and type and the three arguments) followed by the payload.
// Never fails; the caller chooses `seq`.
template <WirePayload T>
Bytes encodePacket(const T& record, uint32_t sessionId, uint32_t seq, PacketHeader::Flags flags = {}) {
  ByteWriter writer(48);
  PacketHeader{T::channel, T::msgType, flags, sessionId, seq}.encode(writer);
  record.encodePayload(writer);
  return writer.take();
}

// A checked header with a reader on the payload. The reader views the packet's bytes: keep them alive
// while the RawPacket is used.
struct RawPacket {
  PacketHeader header;
  ByteReader reader;

  // Every header failure propagates unchanged.
  static RawPacket decode(ByteView packet) {
    ByteReader reader(packet);
    PacketHeader header = PacketHeader::decode(reader);
    return RawPacket{header, reader};
  }

  // Checks the channel (unknownChannel) and then the type (unknownMessageType) against T and decodes
  // from a copy of the reader, so it can be called again, for another type, on the same packet.
  template <WirePayload T>
  T decodePayload() const {
    if (header.channel != T::channel) throw WireError::unknownChannel(rawValue(header.channel));
    if (header.msgType != T::msgType) throw WireError::unknownMessageType(rawValue(header.channel), header.msgType);
    ByteReader copy = reader;
    return T::decode(copy);
  }
};

}  // namespace vela
