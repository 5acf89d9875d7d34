#include "protocol/clipboard/clip_progress.hpp"

#include <algorithm>

namespace vela {

std::optional<uint32_t> ClipProgress::advance(uint64_t clipId, uint64_t done, uint32_t total) {
  auto found = last_.find(clipId);
  const uint64_t last = found == last_.end() ? 0 : found->second;
  const bool finished = done >= total;
  if (!finished && done < last + stepFor(total)) return std::nullopt;
  const auto reported = static_cast<uint32_t>(std::min<uint64_t>(done, total));
  if (finished) {
    if (found != last_.end()) last_.erase(found);
  } else {
    last_[clipId] = reported;
  }
  return reported;
}

}  // namespace vela
