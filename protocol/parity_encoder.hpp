#pragma once
// Forward error correction for one frame: the chunks are split into G interleaved groups (see
// parity_groups.hpp) and each group gets one parity packet whose payload is the XOR of its members'
// payloads, so the receiver can rebuild one lost chunk per group without a round trip.
#include <span>
#include <vector>

#include "protocol/chunker.hpp"

namespace vela {

struct ParityEncoder {
  ParityEncoder() = delete;

  // The parity packets in group order. Each carries the frame's fields from the first chunk, its group
  // index, the group count G as given (even above the chunk count) and a payload as long as its longest
  // member, a shorter member counting as if padded with zeros. A group without members or whose members
  // are all empty gives no packet. Nothing for G < 1 or an empty list; a group count above 255 or more
  // than 65,535 chunks cannot be expressed in the packet's fields and is refused (empty result).
  static std::vector<VideoParity> encode(std::span<const SharedVideoChunk> chunks, int groupCount);
  static std::vector<VideoParity> encode(std::span<const VideoChunk> chunks, int groupCount);
};

}  // namespace vela
