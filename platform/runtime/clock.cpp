#include "platform/runtime/clock.hpp"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace tavlo {

Clock::Subscription Clock::subscribeAdvance(std::function<void()>) const { return {}; }

void Clock::sleepUntil(uint64_t deadlineUs) const {
  std::mutex mutex;
  std::condition_variable cv;
  auto wake = subscribeAdvance([&] {
    std::lock_guard guard(mutex);
    cv.notify_all();
  });
  std::unique_lock lock(mutex);
  while (nowUs() < deadlineUs) waitOnce(cv, lock, deadlineUs);
  lock.unlock();
}

const SteadyClock& SteadyClock::shared() {
  static const SteadyClock clock;
  return clock;
}

uint64_t SteadyClock::nowUs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000ULL;
}

void SteadyClock::waitOnce(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           uint64_t deadlineUs) const {
  uint64_t now = nowUs();
  if (now >= deadlineUs) return;
  // Capped so that a far deadline ("never") cannot overflow the library's time arithmetic.
  constexpr uint64_t maxWaitUs = 3'600'000'000ULL;
  cv.wait_for(lock, std::chrono::microseconds(std::min(deadlineUs - now, maxWaitUs)));
}

// One registered wake-up. `active` is cleared (under `mutex`) when its subscription is released, so a
// wake-up that raced with the release never touches the waiter's state after the waiter has left.
struct FakeClock::Subscriber {
  std::mutex mutex;
  bool active = true;
  std::function<void()> wake;
};

namespace {
struct SubscriptionToken {
  std::shared_ptr<void> subscriber;
  std::function<void()> release;
  ~SubscriptionToken() { release(); }
};
}  // namespace

void FakeClock::setUs(uint64_t nowUs) { moveTo(nowUs, false); }

void FakeClock::moveTo(uint64_t nowUs, bool forwardOnly) const {
  if (!forwardOnly) {
    now_.store(nowUs, std::memory_order_release);
  } else {
    uint64_t current = now_.load(std::memory_order_acquire);
    while (current < nowUs && !now_.compare_exchange_weak(current, nowUs, std::memory_order_acq_rel)) {
    }
  }
  std::vector<std::shared_ptr<Subscriber>> live;
  {
    std::lock_guard guard(mutex_);
    std::erase_if(subscribers_, [&](const auto& weak) {
      auto strong = weak.lock();
      if (strong) live.push_back(std::move(strong));
      return !strong;
    });
  }
  for (auto& subscriber : live) {
    std::lock_guard guard(subscriber->mutex);
    if (subscriber->active) subscriber->wake();
  }
}

void FakeClock::waitOnce(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         uint64_t deadlineUs) const {
  if (nowUs() >= deadlineUs) return;
  if (advanceOnWait_.load(std::memory_order_acquire)) {
    // The wake-ups take the waiter's own lock: release it while the clock moves.
    lock.unlock();
    moveTo(deadlineUs, true);
    lock.lock();
    return;
  }
  // Woken by the subscriber the caller registered. The long real-time backstop only keeps a caller that
  // forgot to subscribe from hanging for ever; it is not how fake time passes.
  ++waiters_;
  cv.wait_for(lock, std::chrono::milliseconds(200));
  --waiters_;
}

Clock::Subscription FakeClock::subscribeAdvance(std::function<void()> wake) const {
  auto subscriber = std::make_shared<Subscriber>();
  subscriber->wake = std::move(wake);
  {
    std::lock_guard guard(mutex_);
    subscribers_.push_back(subscriber);
  }
  auto token = std::make_shared<SubscriptionToken>();
  token->release = [subscriber] {
    std::lock_guard guard(subscriber->mutex);
    subscriber->active = false;
  };
  token->subscriber = subscriber;
  return token;
}

}  // namespace tavlo
