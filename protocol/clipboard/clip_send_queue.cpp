#include "protocol/clipboard/clip_send_queue.hpp"

#include <algorithm>

namespace vela {

void ClipSendQueue::enqueue(uint64_t clipId, uint32_t total, uint32_t fromOffset) {
  remove(clipId);
  entries_.push_back(Entry{clipId, total, std::min(total, fromOffset)});
}

void ClipSendQueue::remove(uint64_t clipId) {
  std::erase_if(entries_, [&](const Entry& entry) { return entry.clipId == clipId; });
}

void ClipSendQueue::clear() {
  entries_.clear();
  tokens_ = 0;
}

std::vector<ClipSendQueue::Step> ClipSendQueue::planTick(int64_t maxBytesPerSec,
                                                         const std::function<bool(uint64_t)>& isOffered) {
  // At least one byte a tick, so that a tiny rate still makes progress instead of none at all.
  const int64_t refill = std::max<int64_t>(1, maxBytesPerSec / ticksPerSecond);
  tokens_ = std::min(std::max(maxBytesPerSec, refill), tokens_ + refill);

  std::vector<Step> steps;
  while (tokens_ > 0 && !entries_.empty()) {
    Entry& entry = entries_.front();
    if (!isOffered(entry.clipId)) {
      if (entry.offset < entry.total) steps.push_back(Step{entry.clipId, entry.total, entry.offset, 0, true});
      entries_.pop_front();
      continue;
    }
    if (entry.offset >= entry.total) {
      entries_.pop_front();
      continue;
    }
    const uint32_t length = std::min(entry.total - entry.offset, pieceSize);
    steps.push_back(Step{entry.clipId, entry.total, entry.offset, length, false});
    entry.offset += length;
    tokens_ -= length;
    if (entry.offset >= entry.total) entries_.pop_front();
  }
  return steps;
}

}  // namespace vela
