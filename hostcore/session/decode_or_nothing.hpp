#pragma once
// The session's loops read packets a peer wrote: a record that does not decode is dropped, never thrown
// through a loop.
#include <optional>

#include "protocol/wire_error.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

// The record, or nothing when the payload (or its channel and type) does not decode.
template <WirePayload T>
std::optional<T> decodeOrNothing(const RawPacket& raw) {
  try {
    return raw.decodePayload<T>();
  } catch (const WireError&) {
    return std::nullopt;
  }
}

}  // namespace vela
