#pragma once
// The last link estimate of each client device, so that a session of the same device starting within a
// minute seeds its rate control instead of starting cold. Keys come from clients: the store keeps a
// bounded number of devices and forgets the one recorded longest ago. Called from sessions' threads.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "hostcore/session/session_callbacks.hpp"
#include "platform/runtime/clock.hpp"

namespace tavlo {

class LinkMemoryStore {
 public:
  // An estimate seeds for this long after it was recorded.
  static constexpr uint64_t seedWindowUs = 60'000'000;
  static constexpr size_t maxEntries = 64;

  explicit LinkMemoryStore(const Clock& clock, size_t capacity = maxEntries) : clock_(clock), capacity_(capacity) {}

  // Replaces the device's earlier estimate; its seed window starts again.
  void record(const vela::LinkSnapshot& snapshot);
  // The device's estimate while it is younger than the seed window.
  std::optional<vela::LinkSeed> seed(const std::string& deviceKey) const;

 private:
  struct Entry {
    vela::LinkSeed seed;
    uint64_t atUs = 0;
    uint64_t order = 0;  // of recording, among all devices
  };

  const Clock& clock_;
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  uint64_t recorded_ = 0;
};

}  // namespace tavlo
