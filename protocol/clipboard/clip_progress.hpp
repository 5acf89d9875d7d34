#pragma once
// Throttles progress reports of one transfer direction: an item reports when it has moved on by at
// least a step since its last report (65,536 bytes, or one per cent of an item of 6,553,700 bytes or
// more), and always when it is done. Not thread-safe: its owner guards it.
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace vela {

class ClipProgress {
 public:
  static constexpr uint32_t minimumStep = 65'536;

  static uint32_t stepFor(uint32_t total) { return total >= 6'553'700 ? total / 100 : minimumStep; }

  // The byte count to report now (done, capped at total), or nothing to stay silent.
  std::optional<uint32_t> advance(uint64_t clipId, uint64_t done, uint32_t total);
  void forget(uint64_t clipId) { last_.erase(clipId); }
  void clear() { last_.clear(); }
  size_t trackedCount() const { return last_.size(); }

 private:
  std::unordered_map<uint64_t, uint32_t> last_;  // last reported byte count per clip id
};

}  // namespace vela
