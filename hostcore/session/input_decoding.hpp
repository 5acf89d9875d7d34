#pragma once
// The input records the host accepts, by the channel and message type of their header: reliable input
// (keys, text, buttons, scroll, discrete pencil events, pinch) and unreliable input (pointer moves,
// pencil samples, relative moves). Anything else, the pencil update included, and any payload that does
// not decode, is no event.
#include <optional>

#include "hostcore/engines/input_event.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

std::optional<InputEvent> decodeInput(const RawPacket& packet);

}  // namespace vela
