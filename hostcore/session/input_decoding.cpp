#include "hostcore/session/input_decoding.hpp"

#include "protocol/wire_error.hpp"

namespace vela {

namespace {

template <WirePayload T>
std::optional<InputEvent> decodeAs(const RawPacket& packet) {
  try {
    return InputEvent(packet.decodePayload<T>());
  } catch (const WireError&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<InputEvent> decodeInput(const RawPacket& packet) {
  switch (packet.header.channel) {
    case Channel::inputReliable:
      switch (packet.header.msgType) {
        case InputReliableType::key: return decodeAs<KeyEvent>(packet);
        case InputReliableType::text: return decodeAs<TextInput>(packet);
        case InputReliableType::pointerButton: return decodeAs<PointerButton>(packet);
        case InputReliableType::scroll: return decodeAs<ScrollEvent>(packet);
        case InputReliableType::pencilDiscrete: return decodeAs<PencilDiscrete>(packet);
        case InputReliableType::pinch: return decodeAs<PinchEvent>(packet);
        default: return std::nullopt;  // the pencil update among them: the host never reads it
      }
    case Channel::inputUnreliable:
      switch (packet.header.msgType) {
        case InputUnreliableType::pointerMoveBatch: return decodeAs<PointerMoveBatch>(packet);
        case InputUnreliableType::pencilSampleBatch: return decodeAs<PencilSampleBatch>(packet);
        case InputUnreliableType::pointerMoveRelative: return decodeAs<PointerMoveRelative>(packet);
        default: return std::nullopt;
      }
    default:
      return std::nullopt;
  }
}

}  // namespace vela
