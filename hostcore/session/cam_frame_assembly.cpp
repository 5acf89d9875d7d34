#include "hostcore/session/cam_frame_assembly.hpp"

namespace vela {

std::optional<Bytes> addCamChunk(MediaDevicesState& media, const CamChunk& chunk) {
  if (chunk.frameId != media.camFrameId) {
    if (!media.camParts.empty() || media.camFrameAbandoned) media.camLossPending = true;
    media.camParts.clear();
    media.camFrameId = chunk.frameId;
    media.camFrameCount = chunk.chunkCount;
    media.camFrameBytes = 0;
    media.camFrameAbandoned = false;
  }
  if (media.camFrameAbandoned) return std::nullopt;
  if (chunk.chunkCount != media.camFrameCount || chunk.chunkIdx >= media.camFrameCount) return std::nullopt;

  int64_t size = static_cast<int64_t>(chunk.payload.size());
  auto existing = media.camParts.find(chunk.chunkIdx);
  int64_t replaced = existing != media.camParts.end() ? static_cast<int64_t>(existing->second.size()) : 0;
  if (media.camFrameBytes - replaced + size > camMaxFrameBytes) {
    media.camParts.clear();
    media.camFrameBytes = 0;
    media.camFrameAbandoned = true;
    return std::nullopt;
  }
  media.camFrameBytes += size - replaced;
  media.camParts[chunk.chunkIdx] = chunk.payload;  // a repeated index replaces the earlier payload
  if (media.camParts.size() != media.camFrameCount) return std::nullopt;

  Bytes accessUnit;
  accessUnit.reserve(static_cast<size_t>(media.camFrameBytes));
  for (auto& [index, part] : media.camParts) accessUnit.insert(accessUnit.end(), part.begin(), part.end());
  media.camParts.clear();
  media.camFrameBytes = 0;
  if (media.camFrameCompleted) {
    // Ids wrap: a frame up to 2^31 behind the expected one is old, anything else is ahead.
    const auto ahead = static_cast<int32_t>(chunk.frameId - media.camNextFrameId);
    if (ahead < 0) return std::nullopt;
    if (ahead > 0) media.camLossPending = true;
  }
  media.camFrameCompleted = true;
  media.camNextFrameId = chunk.frameId + 1;
  return accessUnit;
}

}  // namespace vela
