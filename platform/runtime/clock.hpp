#pragma once
// The monotonic microsecond clock every time stamp and interval is taken from, and a fake one for tests.
//
// A waiter that blocks until a deadline (a channel's receiveUntil, a sleeping loop) asks the clock to
// do the waiting, so that with FakeClock the wait ends when a test advances the time, not in real time.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tavlo {

class Clock {
 public:
  // Keeps a wake-up callback registered while it lives (see subscribeAdvance).
  using Subscription = std::shared_ptr<void>;

  virtual ~Clock() = default;
  virtual uint64_t nowUs() const = 0;

  // Waits on `cv` (whose mutex `lock` holds) once: until notified, a spurious wake-up, or the deadline.
  // Callers loop over their own condition and nowUs().
  virtual void waitOnce(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                        uint64_t deadlineUs) const = 0;

  // Registers `wake`, called (without any clock lock held) after each change of a fake clock's time.
  // A real clock never calls it and returns an empty subscription. Subscribe before taking the lock
  // that `wake` itself takes, and release the subscription after releasing that lock: releasing it
  // waits for a call in progress, so no call runs once it is gone.
  virtual Subscription subscribeAdvance(std::function<void()> wake) const;

  // Blocks the calling thread until nowUs() >= deadlineUs.
  void sleepUntil(uint64_t deadlineUs) const;
  void sleepFor(uint64_t durationUs) const { sleepUntil(nowUs() + durationUs); }
};

// CLOCK_MONOTONIC in microseconds.
class SteadyClock final : public Clock {
 public:
  static const SteadyClock& shared();
  uint64_t nowUs() const override;
  void waitOnce(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                uint64_t deadlineUs) const override;
};

// A clock that moves only when told. It starts at 10^12 µs: the system uses 0 as "never" and computes
// `now - t`, which a clock starting near 0 would turn into events that never happened.
class FakeClock final : public Clock {
 public:
  static constexpr uint64_t startUs = 1'000'000'000'000ULL;

  explicit FakeClock(uint64_t nowUs = startUs) : now_(nowUs) {}

  uint64_t nowUs() const override { return now_.load(std::memory_order_acquire); }
  void advanceUs(uint64_t deltaUs) { setUs(nowUs() + deltaUs); }
  void setUs(uint64_t nowUs);

  // When on, a thread that waits moves the clock forward to its own deadline instead of waiting, so a
  // test that calls blocking code with pauses and polls on its own thread runs in no real time and
  // ends at exactly the fake time those pauses add up to. Off by default.
  void setAdvanceOnWait(bool on) { advanceOnWait_.store(on, std::memory_order_release); }

  void waitOnce(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                uint64_t deadlineUs) const override;
  Subscription subscribeAdvance(std::function<void()> wake) const override;

  // Number of threads blocked in waitOnce right now (tests use it to know a loop went to sleep).
  int waiterCount() const { return waiters_.load(); }

 private:
  // Stores the time (never backwards when `forwardOnly`) and wakes the subscribers.
  void moveTo(uint64_t nowUs, bool forwardOnly) const;

  mutable std::atomic<uint64_t> now_;
  mutable std::atomic<int> waiters_{0};
  std::atomic<bool> advanceOnWait_{false};
  struct Subscriber;
  mutable std::mutex mutex_;
  mutable std::vector<std::weak_ptr<Subscriber>> subscribers_;
};

}  // namespace tavlo
