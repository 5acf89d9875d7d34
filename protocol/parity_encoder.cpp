#include "protocol/parity_encoder.hpp"

#include <algorithm>
#include <cstring>

#include "protocol/parity_groups.hpp"
#include "protocol/xor_bytes.hpp"

namespace vela {
namespace {

// `chunkAt(i)` gives the i-th chunk record; the XOR reads the payloads where they are.
template <class ChunkAt>
std::vector<VideoParity> encodeGroups(size_t chunkCount, int groupCount, ChunkAt chunkAt) {
  std::vector<VideoParity> out;
  if (groupCount < 1 || chunkCount == 0) return out;
  if (groupCount > maxParityGroupCount || chunkCount > size_t(Chunker::maxChunkCount)) return out;
  const int n = static_cast<int>(chunkCount);
  const int groups = std::min(groupCount, n);
  out.reserve(static_cast<size_t>(groups));

  const VideoChunk& first = chunkAt(0);
  std::vector<ByteView> others;
  for (int g = 0; g < groups; ++g) {
    size_t longest = 0;
    for (int m = g; m < n; m += groupCount) longest = std::max(longest, chunkAt(m).payload.size());
    if (longest == 0) continue;

    VideoParity parity;
    parity.frameId = first.frameId;
    parity.groupIndex = static_cast<uint8_t>(g);
    parity.groupCount = static_cast<uint8_t>(groupCount);
    parity.chunkCount = first.chunkCount;
    parity.frameFlags = first.frameFlags;
    parity.ltrToken = first.ltrToken;
    parity.generation = first.generation;
    parity.captureTimestampUs = first.captureTimestampUs;
    parity.frameByteLength = first.frameByteLength;

    // Start from the first member instead of zeros, then XOR the others in, reading the payloads
    // where they are.
    const Bytes& lead = chunkAt(g).payload;
    parity.payload.resize(longest);
    if (!lead.empty()) std::memcpy(parity.payload.data(), lead.data(), lead.size());
    std::memset(parity.payload.data() + lead.size(), 0, longest - lead.size());
    others.clear();
    for (int m = g + groupCount; m < n; m += groupCount) others.emplace_back(chunkAt(m).payload);
    xorAllInto(parity.payload, others);
    out.push_back(std::move(parity));
  }
  return out;
}

}  // namespace

std::vector<VideoParity> ParityEncoder::encode(std::span<const SharedVideoChunk> chunks, int groupCount) {
  return encodeGroups(chunks.size(), groupCount, [&](int i) -> const VideoChunk& { return *chunks[size_t(i)]; });
}

std::vector<VideoParity> ParityEncoder::encode(std::span<const VideoChunk> chunks, int groupCount) {
  return encodeGroups(chunks.size(), groupCount, [&](int i) -> const VideoChunk& { return chunks[size_t(i)]; });
}

}  // namespace vela
