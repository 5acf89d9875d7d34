#pragma once
// A call that blocks until the test lets it go: the code under test waits in hold(), the test checks
// what happens meanwhile and then calls release(). hold() gives up after a safety bound so that a test
// of code that waits for the held call on the wrong thread fails (hold() answers false) instead of
// hanging; the bound is never the expected path.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavlo::testkit {

class ReleaseLatch {
 public:
  static constexpr std::chrono::seconds safetyBound{5};

  // Blocks until release(); false when the safety bound ran out first.
  bool hold() {
    std::unique_lock lock(mutex_);
    ++entered_;
    changed_.notify_all();
    return changed_.wait_for(lock, safetyBound, [&] { return released_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Waits until `count` calls have entered hold() (or the safety bound ran out); true when they have.
  bool waitForEntered(int count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, safetyBound, [&] { return entered_ >= count; });
  }
  int entered() const {
    std::lock_guard lock(mutex_);
    return entered_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  bool released_ = false;
};

}  // namespace tavlo::testkit
