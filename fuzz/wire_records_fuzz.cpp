// Any bytes as every message record. Twice: as a packet, decoded as the record its header's (channel,
// type) names, and as a bare payload, decoded by every record type. Each decoder either gives a record
// or throws WireError; a record it gives encodes into a payload that decodes again.
#include <cstdint>
#include <cstdlib>

#include "protocol/wire_record_list.hpp"

namespace {

template <class T>
void decodeAndReencode(const vela::RawPacket& packet, bool asPacket) {
  T record;
  try {
    record = asPacket ? packet.decodePayload<T>() : [&] {
      vela::ByteReader reader = packet.reader;
      return T::decode(reader);
    }();
  } catch (const vela::WireError&) {
    return;
  }
  vela::Bytes again = vela::encodePacket(record, 0, 0);
  try {
    (void)vela::RawPacket::decode(again).decodePayload<T>();
  } catch (const vela::WireError&) {
    std::abort();  // the encoder wrote something its own decoder refuses
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vela::ByteView bytes(data, size);
  try {
    vela::RawPacket packet = vela::RawPacket::decode(bytes);
    vela::AllWireRecords::forEach([&]<class T>() {
      if (packet.header.channel == T::channel && packet.header.msgType == T::msgType) decodeAndReencode<T>(packet, true);
    });
  } catch (const vela::WireError&) {
  }
  vela::RawPacket bare{{}, vela::ByteReader(bytes)};
  vela::AllWireRecords::forEach([&]<class T>() { decodeAndReencode<T>(bare, false); });
  return 0;
}
