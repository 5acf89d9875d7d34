#pragma once
// The one gate that serialises display operations (create, re-mode, re-create, teardown) of every
// session of the process. One object per process, handed to each session; its lock is held only for
// the test-and-set and the release, never while a caller works on the display.
#include <mutex>

namespace vela {

class DisplayGate {
 public:
  // Takes the gate when it is free; false when another holder has it. Callers that must wait poll.
  bool tryTake() {
    std::lock_guard guard(mutex_);
    if (busy_) return false;
    busy_ = true;
    return true;
  }
  // Frees the gate; the holder calls it on every path after tryTake returned true.
  void release() {
    std::lock_guard guard(mutex_);
    busy_ = false;
  }
  bool isBusy() const {
    std::lock_guard guard(mutex_);
    return busy_;
  }

 private:
  mutable std::mutex mutex_;
  bool busy_ = false;
};

}  // namespace vela
