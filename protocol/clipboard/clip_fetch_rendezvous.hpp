#pragma once
// Where a thread that needs an item's bytes (the pasteboard asking for a file's content) waits for the
// transfer engine to finish receiving it.
//
// The waiting thread calls fetch: it registers, runs the request (which asks the peer for the item) and
// blocks until deliver hands over the payload or the timeout passes. Several fetches may wait at once,
// for different ids or the same one; a delivery wakes every fetch waiting for its id.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/runtime/clock.hpp"
#include "protocol/clipboard/clip_payload.hpp"

namespace vela {

class ClipFetchRendezvous {
 public:
  explicit ClipFetchRendezvous(const tavlo::Clock& clock = tavlo::SteadyClock::shared()) : clock_(clock) {}
  ClipFetchRendezvous(const ClipFetchRendezvous&) = delete;
  ClipFetchRendezvous& operator=(const ClipFetchRendezvous&) = delete;

  // Blocks the calling thread: never call it on a thread that deliver needs. `request` runs once, after
  // the wait is registered and outside any lock, so a delivery it causes at once is not missed. Returns
  // the delivered payload, or nothing when none arrived within `timeoutSeconds` (a payload delivered
  // as the time ran out still counts).
  std::optional<ClipPayload> fetch(uint64_t clipId, double timeoutSeconds, const std::function<void()>& request);

  // Hands `payload` to every fetch waiting for `clipId`; never blocks. With nobody waiting the payload
  // is dropped: a fetch always requests the item afresh, so a stored one would never be collected.
  // Returns whether a fetch took it (a file nobody took is the caller's to remove).
  bool deliver(uint64_t clipId, ClipPayload payload);
  // The item can no longer come (nobody to ask, the session ended): every fetch waiting for `clipId`,
  // or with abandonAll every waiting fetch, returns nothing at once instead of waiting out its time.
  void abandon(uint64_t clipId);
  void abandonAll();

  // Fetches waiting right now (for tests and diagnostics).
  size_t waitingCount() const;

 private:
  // Marks the fetches waiting for `clipId` (every waiting fetch, without one) abandoned and wakes them.
  void abandonWaiting(std::optional<uint64_t> clipId);

  struct Waiter {
    std::optional<ClipPayload> result;
    bool abandoned = false;
  };

  const tavlo::Clock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<uint64_t, std::shared_ptr<Waiter>> waiters_;
};

}  // namespace vela
