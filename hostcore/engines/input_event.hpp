#pragma once
// One decoded input message ready for injection: the wire record itself, unchanged, as the session's
// input loops decode it from the reliable and unreliable input channels.
#include <type_traits>
#include <variant>

#include "protocol/keyboard_messages.hpp"
#include "protocol/pointer_messages.hpp"

namespace vela {

struct InputEvent {
  // In the order of Payload's alternatives.
  enum class Kind : uint8_t {
    key,
    text,
    pointerButton,
    scroll,
    pointerMove,
    pointerMoveRelative,
    pencilBatch,
    pencilDiscrete,
    pinch,
  };
  using Payload = std::variant<KeyEvent, TextInput, PointerButton, ScrollEvent, PointerMoveBatch,
                               PointerMoveRelative, PencilSampleBatch, PencilDiscrete, PinchEvent>;

  Payload payload;

  InputEvent() = default;
  template <class Record>
    requires std::is_constructible_v<Payload, Record&&>
  InputEvent(Record&& record) : payload(std::forward<Record>(record)) {}  // NOLINT: a record is an event

  Kind kind() const { return static_cast<Kind>(payload.index()); }
  // The record when the event is of that kind, else nullptr.
  template <class Record>
  const Record* as() const {
    return std::get_if<Record>(&payload);
  }
};

}  // namespace vela
