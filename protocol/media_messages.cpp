#include "protocol/media_messages.hpp"

#include <algorithm>

namespace vela {

VideoNack VideoNack::fromMissing(uint32_t frameId, uint16_t generation, std::span<const uint16_t> missing) {
  VideoNack nack{frameId, generation, 0, Bytes(1, 0)};
  if (missing.empty()) return nack;
  auto [smallest, largest] = std::minmax_element(missing.begin(), missing.end());
  nack.baseChunkIdx = *smallest;
  nack.bitmap.assign(static_cast<size_t>(*largest - *smallest) / 8 + 1, 0);
  for (uint16_t index : missing) {
    size_t offset = static_cast<size_t>(index - nack.baseChunkIdx);
    nack.bitmap[offset / 8] = static_cast<uint8_t>(nack.bitmap[offset / 8] | (1u << (offset % 8)));
  }
  return nack;
}

std::vector<uint16_t> VideoNack::missingChunks() const {
  std::vector<uint16_t> out;
  for (size_t k = 0; k < bitmap.size(); ++k) {
    if (bitmap[k] == 0) continue;
    for (unsigned b = 0; b < 8; ++b) {
      if ((bitmap[k] & (1u << b)) == 0) continue;
      size_t index = size_t{baseChunkIdx} + 8 * k + b;
      if (index > UINT16_MAX) return out;  // every later bit lies further out
      out.push_back(static_cast<uint16_t>(index));
    }
  }
  return out;
}

}  // namespace vela
