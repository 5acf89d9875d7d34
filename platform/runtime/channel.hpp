#pragma once
// A stream of values from producers to one consumer at a time: the system's `incoming` and `sessions`.
//
// - `send` never blocks. An unbounded channel keeps everything (reliable streams); a bounded one drops
//   its oldest item when full and counts the drop (datagram flows whose consumer stalls).
// - `close` finishes the stream: the consumer still receives every buffered item, then gets nullopt.
// - Several threads may call `receive`; each item goes to exactly one of them, in order. A consumer
//   that stops and a new one that starts receiving take over with nothing lost.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/runtime/clock.hpp"

namespace tavlo {

template <class T>
class Channel {
 public:
  static constexpr size_t unbounded = std::numeric_limits<size_t>::max();

  explicit Channel(size_t capacity = unbounded) : capacity_(capacity == 0 ? 1 : capacity) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Returns false (and drops the item) once the channel is closed.
  // Both notify under the lock: a consumer that receives the last item (or the end) and then destroys
  // the channel must not race a producer that is still signalling it.
  bool send(T item) {
    std::shared_ptr<const Observer> observer;
    {
      std::lock_guard guard(mutex_);
      if (closed_) return false;
      if (items_.size() >= capacity_) {
        items_.pop_front();
        ++dropped_;
      }
      items_.push_back(std::move(item));
      ready_.notify_one();
      observer = observer_;
    }
    if (observer) (*observer)();
    return true;
  }

  void close() {
    std::shared_ptr<const Observer> observer;
    {
      std::lock_guard guard(mutex_);
      closed_ = true;
      ready_.notify_all();
      observer = observer_;
    }
    if (observer) (*observer)();
  }

  // For a consumer with no thread of its own (a connection waiting for its handshake): `observer` runs
  // after every send and at close, on the producer's thread and outside the channel's lock, and should
  // only schedule the draining (tryReceive). One observer at a time; an empty one removes it, though a
  // send already under way may still call the old one once.
  using Observer = std::function<void()>;
  void setObserver(Observer observer) {
    auto held = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
    std::lock_guard guard(mutex_);
    observer_ = std::move(held);
  }

  // Blocks until an item arrives (returns it) or the channel is closed and drained (returns nullopt).
  std::optional<T> receive() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !items_.empty() || closed_; });
    return popLocked();
  }

  // Like receive, but also returns nullopt once `clock` reaches `deadlineUs`; isFinished() tells the
  // two apart. With a FakeClock the wait ends when the test advances the clock.
  std::optional<T> receiveUntil(const Clock& clock, uint64_t deadlineUs) {
    auto wake = clock.subscribeAdvance([this] {
      std::lock_guard guard(mutex_);
      ready_.notify_all();
    });
    std::optional<T> item;
    {
      std::unique_lock lock(mutex_);
      while (items_.empty() && !closed_ && clock.nowUs() < deadlineUs) clock.waitOnce(ready_, lock, deadlineUs);
      item = popLocked();
    }
    return item;
  }

  std::optional<T> tryReceive() {
    std::lock_guard guard(mutex_);
    return popLocked();
  }

  bool isClosed() const {
    std::lock_guard guard(mutex_);
    return closed_;
  }
  // Closed and every buffered item received: the stream has ended.
  bool isFinished() const {
    std::lock_guard guard(mutex_);
    return closed_ && items_.empty();
  }
  size_t size() const {
    std::lock_guard guard(mutex_);
    return items_.size();
  }
  uint64_t droppedCount() const {
    std::lock_guard guard(mutex_);
    return dropped_;
  }

 private:
  std::optional<T> popLocked() {
    if (items_.empty()) return std::nullopt;
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    return item;
  }

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
  bool closed_ = false;
  uint64_t dropped_ = 0;
  std::shared_ptr<const Observer> observer_;
};

}  // namespace tavlo
