#pragma once
// Reassembly of the client's camera access units from their chunks. One frame is assembled at a time:
// a chunk of another frame discards what was held. A chunk whose index is not below the frame's chunk
// count, or whose count differs from the one the frame started with, is dropped; a frame that would
// hold more than camMaxFrameBytes is given up; a frame is complete only when every index is present.
//
// Losses are noted in camLossPending for the decoder: a frame discarded or given up, and a frame id
// skipped between two complete frames (the client numbers its frames one by one). A complete frame
// older than the last one handed on (a duplicate, a late arrival, a replayed copy) is not handed on.
// Pure logic over the session's camera fields; the caller holds the session mutex.
#include <cstdint>
#include <optional>

#include "hostcore/session/media_devices_state.hpp"
#include "protocol/media_messages.hpp"

namespace vela {

// No camera picture the client sends at the sizes it may ask for comes near this; a larger one is a
// broken or hostile sender and must not grow the host's memory.
inline constexpr int64_t camMaxFrameBytes = 4 * 1024 * 1024;

// Adds the chunk; the whole access unit (indices in order) when it completed the frame.
std::optional<Bytes> addCamChunk(MediaDevicesState& media, const CamChunk& chunk);

}  // namespace vela
