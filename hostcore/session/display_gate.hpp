#pragma once
// The one gate that serialises display operations (create, re-mode, re-create, teardown) of every
// session of the process. One object per process, handed to each session; its lock is held only for
// the test-and-set and the release, never while a caller works on the display.
//
// It also knows which session the shared virtual display answers to. A takeover or a quick reconnect
// starts the new session's hello while the displaced session is still ending, and both reach the gate
// in either order: the hello that obtained the display claims it under the gate, and from then on the
// displaced session's teardown and display work leave it alone (no restore of the physical displays,
// no destroy, no re-mode), so the new session keeps a live display that is main with the physical
// displays off.
#include <cstdint>
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

  // Makes the caller the display's owner and returns its claim (never 0, never handed out twice).
  // Called while holding the gate, by a hello whose display step succeeded.
  uint64_t claimDisplay() {
    std::lock_guard guard(mutex_);
    owner_ = ++lastClaim_;
    return owner_;
  }
  // True when the holder of `claim` may still restore, destroy or re-mode the display: its claim is
  // the latest, or nobody holds the display (a session that never claimed it, as mirroring does,
  // passes 0). False once a newer session claimed it.
  bool answersTo(uint64_t claim) const {
    std::lock_guard guard(mutex_);
    return owner_ == 0 || owner_ == claim;
  }
  // The owner is done with the display (its teardown gave it back or left it for whoever comes next).
  // A claim that was superseded changes nothing.
  void giveUpDisplay(uint64_t claim) {
    std::lock_guard guard(mutex_);
    if (claim != 0 && owner_ == claim) owner_ = 0;
  }

 private:
  mutable std::mutex mutex_;
  bool busy_ = false;
  uint64_t lastClaim_ = 0;
  uint64_t owner_ = 0;
};

}  // namespace vela
