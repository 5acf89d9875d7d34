#pragma once
// Timers: one-shot and repeating jobs at times of a Clock. ThreadScheduler runs them on its own thread
// in real time; ManualScheduler runs them, in time order, inside advanceBy() on the test's thread.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "platform/runtime/clock.hpp"

namespace tavlo {

class Scheduler {
 public:
  using Job = std::function<void()>;
  using JobId = uint64_t;

  virtual ~Scheduler() = default;
  virtual const Clock& clock() const = 0;

  // Runs `job` once, `delayUs` from now. Jobs should be short: heavy work posts to an executor.
  JobId after(uint64_t delayUs, Job job) { return add(delayUs, 0, std::move(job)); }
  // Runs `job` every `intervalUs` (> 0), the first time `firstDelayUs` from now.
  JobId every(uint64_t intervalUs, Job job, uint64_t firstDelayUs) {
    return add(firstDelayUs, intervalUs == 0 ? 1 : intervalUs, std::move(job));
  }
  JobId every(uint64_t intervalUs, Job job) { return every(intervalUs, std::move(job), intervalUs); }

  // After cancel returns the job does not start again; a run already in progress on another thread
  // finishes. Cancelling an unknown or finished id does nothing.
  void cancel(JobId id);
  size_t pendingCount() const;

  // Blocks the calling thread for `durationUs` of this scheduler's clock.
  void sleepFor(uint64_t durationUs) const { clock().sleepFor(durationUs); }

 protected:
  struct Entry {
    uint64_t dueUs;
    uint64_t intervalUs;  // 0: one-shot
    std::shared_ptr<Job> job;
  };

  JobId add(uint64_t delayUs, uint64_t intervalUs, Job job);
  // Takes the earliest job due at or before `limitUs`; the job stays registered (so cancel works
  // while it runs) until finish() is called.
  std::optional<std::pair<JobId, Entry>> takeDue(uint64_t limitUs);
  void finish(JobId id, const Entry& ran);
  std::optional<uint64_t> earliestDueLocked() const;  // mutex_ held
  virtual void jobsChanged() {}

  mutable std::mutex mutex_;

 private:
  JobId nextId_ = 1;
  std::map<JobId, Entry> entries_;
  std::set<std::pair<uint64_t, JobId>> queue_;  // (due, id): ties run in the order they were added
};

class ThreadScheduler final : public Scheduler {
 public:
  explicit ThreadScheduler(const Clock& clock = SteadyClock::shared(), const char* threadName = "vela.timers");
  ~ThreadScheduler() override;
  const Clock& clock() const override { return clock_; }

 private:
  void jobsChanged() override;
  void run();

  const Clock& clock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

class ManualScheduler final : public Scheduler {
 public:
  explicit ManualScheduler(FakeClock& clock) : clock_(clock) {}
  const Clock& clock() const override { return clock_; }
  FakeClock& fakeClock() { return clock_; }

  // Moves the clock forward, running every job that falls due on the way in time order, each with the
  // clock set to its due time; a job added while advancing runs too if it falls due in the window.
  void advanceBy(uint64_t deltaUs);
  void advanceTo(uint64_t targetUs);
  // Runs the jobs due now without moving the clock.
  void runDue() { advanceTo(clock_.nowUs()); }

 private:
  FakeClock& clock_;
};

// Cancels its job when it goes away: the owner of a periodic timer keeps one of these.
class ScopedTimer {
 public:
  ScopedTimer() = default;
  ScopedTimer(Scheduler& scheduler, Scheduler::JobId id) : scheduler_(&scheduler), id_(id) {}
  ScopedTimer(ScopedTimer&& other) noexcept { *this = std::move(other); }
  ScopedTimer& operator=(ScopedTimer&& other) noexcept {
    if (this != &other) {
      cancel();
      scheduler_ = std::exchange(other.scheduler_, nullptr);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;
  ~ScopedTimer() { cancel(); }

  void cancel() {
    if (scheduler_) scheduler_->cancel(id_);
    scheduler_ = nullptr;
  }
  bool isArmed() const { return scheduler_ != nullptr; }

 private:
  Scheduler* scheduler_ = nullptr;
  Scheduler::JobId id_ = 0;
};

}  // namespace tavlo
