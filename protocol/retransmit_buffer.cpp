#include "protocol/retransmit_buffer.hpp"

#include <algorithm>

namespace vela {

RetransmitBuffer::RetransmitBuffer(int64_t maxBytes, int maxFrames) : maxBytes_(maxBytes), maxFrames_(maxFrames) {
  byFrame_.reserve(static_cast<size_t>(std::clamp(maxFrames, 0, 1024)) + 1);
}

void RetransmitBuffer::retain(uint32_t frameId, uint16_t generation, std::vector<SharedVideoChunk> chunks) {
  Entry entry;
  entry.generation = generation;
  entry.indexedByPosition = true;
  for (size_t i = 0; i < chunks.size(); ++i) {
    entry.bytes += static_cast<int64_t>(chunks[i]->payload.size());
    if (chunks[i]->chunkIdx != i) entry.indexedByPosition = false;
  }
  entry.chunks = std::move(chunks);

  std::vector<std::vector<SharedVideoChunk>> released;  // freed after unlocking
  {
    std::lock_guard lock(mutex_);
    if (auto held = byFrame_.find(frameId); held != byFrame_.end()) {
      released.push_back(std::move(held->second.chunks));
      removeLocked(held);
    }
    entry.place = order_.insert(order_.end(), frameId);
    totalBytes_ += entry.bytes;
    byFrame_.emplace(frameId, std::move(entry));
    while (!order_.empty() && (totalBytes_ > maxBytes_ || std::ssize(order_) > maxFrames_)) {
      auto oldest = byFrame_.find(order_.front());
      released.push_back(std::move(oldest->second.chunks));
      removeLocked(oldest);
    }
  }
}

std::vector<SharedVideoChunk> RetransmitBuffer::chunksFor(const VideoNack& nack) const {
  const std::vector<uint16_t> missing = nack.missingChunks();  // ascending, each index once
  std::vector<SharedVideoChunk> out;
  if (missing.empty()) return out;
  std::lock_guard lock(mutex_);
  auto it = byFrame_.find(nack.frameId);
  if (it == byFrame_.end() || it->second.generation != nack.generation) return out;
  const Entry& entry = it->second;
  out.reserve(std::min(missing.size(), entry.chunks.size()));
  if (entry.indexedByPosition) {
    for (uint16_t idx : missing) {
      if (idx >= entry.chunks.size()) break;
      out.push_back(entry.chunks[idx]);
    }
  } else {
    for (const SharedVideoChunk& chunk : entry.chunks) {
      if (std::binary_search(missing.begin(), missing.end(), chunk->chunkIdx)) out.push_back(chunk);
    }
  }
  return out;
}

void RetransmitBuffer::retire(uint32_t upTo) {
  std::vector<std::vector<SharedVideoChunk>> released;
  std::lock_guard lock(mutex_);
  while (!order_.empty() && order_.front() <= upTo) {
    auto oldest = byFrame_.find(order_.front());
    released.push_back(std::move(oldest->second.chunks));
    removeLocked(oldest);
  }
}

int RetransmitBuffer::frameCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(byFrame_.size());
}

int64_t RetransmitBuffer::totalBytes() const {
  std::lock_guard lock(mutex_);
  return totalBytes_;
}

void RetransmitBuffer::removeLocked(std::unordered_map<uint32_t, Entry>::iterator it) {
  totalBytes_ -= it->second.bytes;
  order_.erase(it->second.place);
  byFrame_.erase(it);
}

}  // namespace vela
