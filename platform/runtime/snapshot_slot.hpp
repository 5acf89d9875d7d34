#pragma once
// A value that one thread may replace while others read it: readers take a snapshot (a shared pointer
// to a constant value) under the slot's lock and use it after the lock is gone, so a set of callbacks
// is never seen half replaced and a callback in progress keeps running with the value it started with.
#include <functional>
#include <memory>
#include <mutex>

namespace tavlo {

template <class T>
class SnapshotSlot {
 public:
  SnapshotSlot() = default;
  explicit SnapshotSlot(T value) : current_(std::make_shared<const T>(std::move(value))) {}
  SnapshotSlot(const SnapshotSlot&) = delete;
  SnapshotSlot& operator=(const SnapshotSlot&) = delete;

  void set(T value) {
    auto fresh = std::make_shared<const T>(std::move(value));
    std::lock_guard guard(mutex_);
    current_ = std::move(fresh);
  }
  std::shared_ptr<const T> get() const {
    std::lock_guard guard(mutex_);
    return current_;
  }
  // Copies the current value, lets `edit` change the copy and publishes it, as one step: two edits
  // from different threads never lose each other's change. `edit` runs under the slot's lock and must
  // not read the slot.
  void update(const std::function<void(T&)>& edit) {
    std::lock_guard guard(mutex_);
    T copy = *current_;
    edit(copy);
    current_ = std::make_shared<const T>(std::move(copy));
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const T> current_ = std::make_shared<const T>();
};

}  // namespace tavlo
