#include "protocol/flow_bind.hpp"

#include "protocol/message_types.hpp"

namespace vela {

Bytes flowBindDatagram(Channel channel) {
  ByteWriter writer(PacketHeader::byteCount);
  PacketHeader{channel, ControlType::flowBind, {}, 0, 0}.encode(writer);
  return writer.take();
}

}  // namespace vela
