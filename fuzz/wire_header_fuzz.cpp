// Any bytes as a packet: header decoding and RawPacket framing either succeed or throw WireError.
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "protocol/wire_payload.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vela::ByteView bytes(data, size);
  try {
    auto raw = vela::RawPacket::decode(bytes);
    // Re-encoding the accepted header gives back the first 16 bytes.
    vela::ByteWriter writer;
    raw.header.encode(writer);
    if (size < 16 || !std::equal(writer.data().begin(), writer.data().end(), data)) std::abort();
    if (raw.reader.remaining() != size - 16) std::abort();
    (void)raw.reader.restView();
  } catch (const vela::WireError&) {
  }
  return 0;
}
