#include "host/controller/link_memory_store.hpp"

#include <algorithm>

namespace tavlo {

void LinkMemoryStore::record(const vela::LinkSnapshot& s) {
  Entry entry{vela::LinkSeed{s.appliedBitrate, s.recentLoss, s.wanLink, s.provenBps, s.chronic}, clock_.nowUs()};
  std::lock_guard lock(mutex_);
  // Recording order, not the clock, picks the oldest: records within one clock tick are ordered too.
  entry.order = ++recorded_;
  entries_.insert_or_assign(s.deviceKey, entry);
  if (entries_.size() <= capacity_) return;
  // The device recorded longest ago is the one least likely to come back within the window.
  auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                 [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
  entries_.erase(oldest);
}

std::optional<vela::LinkSeed> LinkMemoryStore::seed(const std::string& deviceKey) const {
  const uint64_t now = clock_.nowUs();
  std::lock_guard lock(mutex_);
  auto it = entries_.find(deviceKey);
  if (it == entries_.end() || now - it->second.atUs >= seedWindowUs) return std::nullopt;
  return it->second.seed;
}

}  // namespace tavlo
