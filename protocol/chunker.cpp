#include "protocol/chunker.hpp"

#include <algorithm>

namespace vela {

std::vector<SharedVideoChunk> Chunker::chunk(uint32_t frameId, uint16_t generation, FrameFlags flags,
                                             uint8_t ltrToken, uint64_t captureTimestampUs, ByteView avcc) {
  if (avcc.size() > maxFrameBytes) return {};
  const size_t count = chunkCount(avcc.size());

  // One allocation holds every chunk record of the frame; each handed-out pointer shares its
  // ownership, so the records live until the last user of any chunk of the frame lets go.
  auto block = std::make_shared<std::vector<VideoChunk>>(count);
  std::vector<SharedVideoChunk> chunks;
  chunks.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    VideoChunk& c = (*block)[i];
    c.frameId = frameId;
    c.chunkIdx = static_cast<uint16_t>(i);
    c.chunkCount = static_cast<uint16_t>(count);
    c.frameFlags = flags;
    c.ltrToken = ltrToken;
    c.generation = generation;
    c.captureTimestampUs = captureTimestampUs;
    c.frameByteLength = static_cast<uint32_t>(avcc.size());
    const size_t begin = i * maxVideoChunkPayload;
    const size_t end = std::min(avcc.size(), begin + maxVideoChunkPayload);
    c.payload.assign(avcc.begin() + static_cast<std::ptrdiff_t>(begin),
                     avcc.begin() + static_cast<std::ptrdiff_t>(end));
    chunks.emplace_back(block, &c);
  }
  return chunks;
}

}  // namespace vela
