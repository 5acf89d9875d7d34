// Any bytes as a datagram reaching a relay flow: the header filter delivers a payload only from inside
// the datagram, only behind a full header of the flow's own session and slot from the other side.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "transport/relay_datagram_header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t token[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  vela::ByteView datagram(data, size);
  for (auto slot : {vela::Relay::Slot::video, vela::Relay::Slot::audio, vela::Relay::Slot::inputUnreliable}) {
    for (auto side : {vela::Relay::Side::client, vela::Relay::Side::host}) {
      auto header = vela::RelayDatagramHeader::make(vela::ByteView(token, 16), slot, side);
      if (!header) std::abort();
      auto payload = header->payloadFor(datagram);
      if (!payload) continue;
      if (size <= 22 || payload->size() != size - 22 || payload->data() != data + 22) std::abort();
      if (!std::equal(header->bytes.begin(), header->bytes.begin() + 21, data)) std::abort();
      if (data[21] == header->bytes[21]) std::abort();
    }
  }
  return 0;
}
