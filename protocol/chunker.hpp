#pragma once
// Cuts an encoded video frame into the chunks that each fit one datagram.
//
// The chunks of a frame are shared immutable values: the retransmission buffer, the sender and the
// parity encoder all hold the same ones, so keeping a frame for retransmission or answering a NACK
// copies no payload, and a chunk that a send still uses stays valid after the buffer lets it go.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/media_messages.hpp"

namespace vela {

using SharedVideoChunk = std::shared_ptr<const VideoChunk>;

struct Chunker {
  Chunker() = delete;

  // The chunk fields are UInt16: no frame has more chunks than this, so none is longer than
  // maxFrameBytes (which also keeps the length within its UInt32 field).
  static constexpr int maxChunkCount = 65'535;
  static constexpr size_t maxFrameBytes = size_t(maxChunkCount) * maxVideoChunkPayload;

  // max(1, ceil(frameBytes / 1310)): an empty frame still travels as one empty chunk.
  static constexpr size_t chunkCount(size_t frameBytes) {
    return frameBytes == 0 ? 1 : (frameBytes + maxVideoChunkPayload - 1) / maxVideoChunkPayload;
  }

  // The chunks in index order: chunk i carries bytes [1310 i, min(L, 1310 (i + 1))) of the frame and
  // repeats the frame's fields. A frame longer than maxFrameBytes is refused: the result is empty
  // (never the case for a frame that can be sent, which always gives at least one chunk).
  static std::vector<SharedVideoChunk> chunk(uint32_t frameId, uint16_t generation, FrameFlags flags,
                                             uint8_t ltrToken, uint64_t captureTimestampUs, ByteView avcc);
};

}  // namespace vela
