#include "protocol/clipboard/clip_fetch_rendezvous.hpp"

#include "platform/runtime/checked_number.hpp"

namespace vela {

std::optional<ClipPayload> ClipFetchRendezvous::fetch(uint64_t clipId, double timeoutSeconds,
                                                      const std::function<void()>& request) {
  // A negative or NaN timeout waits not at all; a huge one waits as long as the clock can count.
  const uint64_t timeoutUs = tavlo::truncateSaturating<uint64_t>(timeoutSeconds * 1e6);
  const uint64_t start = clock_.nowUs();
  const uint64_t deadline = timeoutUs > UINT64_MAX - start ? UINT64_MAX : start + timeoutUs;

  auto wake = clock_.subscribeAdvance([this] {
    std::lock_guard guard(mutex_);
    changed_.notify_all();
  });
  auto waiter = std::make_shared<Waiter>();
  std::multimap<uint64_t, std::shared_ptr<Waiter>>::iterator registered;
  {
    std::lock_guard guard(mutex_);
    registered = waiters_.emplace(clipId, waiter);
  }

  if (request) request();

  std::optional<ClipPayload> result;
  {
    std::unique_lock lock(mutex_);
    while (!waiter->result && !waiter->abandoned && clock_.nowUs() < deadline) {
      clock_.waitOnce(changed_, lock, deadline);
    }
    // Taken whether the wait ended by the delivery or by the time: a payload that arrived just as the
    // time ran out is the one the caller waited for.
    result = std::move(waiter->result);
    waiters_.erase(registered);
  }
  return result;
}

bool ClipFetchRendezvous::deliver(uint64_t clipId, ClipPayload payload) {
  {
    std::lock_guard guard(mutex_);
    auto [first, last] = waiters_.equal_range(clipId);
    if (first == last) return false;
    for (auto it = first; it != last; ++it) it->second->result = payload;
  }
  changed_.notify_all();
  return true;
}

void ClipFetchRendezvous::abandon(uint64_t clipId) { abandonWaiting(clipId); }

void ClipFetchRendezvous::abandonAll() { abandonWaiting(std::nullopt); }

void ClipFetchRendezvous::abandonWaiting(std::optional<uint64_t> clipId) {
  {
    std::lock_guard guard(mutex_);
    for (auto& [id, waiter] : waiters_) {
      if (!clipId || id == *clipId) waiter->abandoned = true;
    }
  }
  changed_.notify_all();
}

size_t ClipFetchRendezvous::waitingCount() const {
  std::lock_guard guard(mutex_);
  return waiters_.size();
}

}  // namespace vela
