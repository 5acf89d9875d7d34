#include "platform/runtime/scheduler.hpp"

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

Scheduler::JobId Scheduler::add(uint64_t delayUs, uint64_t intervalUs, Job job) {
  JobId id;
  {
    std::lock_guard guard(mutex_);
    id = nextId_++;
    uint64_t due = clock().nowUs() + delayUs;
    entries_.emplace(id, Entry{due, intervalUs, std::make_shared<Job>(std::move(job))});
    queue_.emplace(due, id);
  }
  jobsChanged();
  return id;
}

void Scheduler::cancel(JobId id) {
  {
    std::lock_guard guard(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    queue_.erase({it->second.dueUs, id});
    entries_.erase(it);
  }
  jobsChanged();
}

size_t Scheduler::pendingCount() const {
  std::lock_guard guard(mutex_);
  return queue_.size();
}

std::optional<std::pair<Scheduler::JobId, Scheduler::Entry>> Scheduler::takeDue(uint64_t limitUs) {
  std::lock_guard guard(mutex_);
  if (queue_.empty() || queue_.begin()->first > limitUs) return std::nullopt;
  auto [due, id] = *queue_.begin();
  queue_.erase(queue_.begin());
  return std::make_pair(id, entries_.at(id));
}

void Scheduler::finish(JobId id, const Entry& ran) {
  {
    std::lock_guard guard(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return;  // cancelled while it ran
    if (ran.intervalUs == 0) {
      entries_.erase(it);
      return;
    }
    it->second.dueUs = ran.dueUs + ran.intervalUs;
    queue_.emplace(it->second.dueUs, id);
  }
  jobsChanged();
}

std::optional<uint64_t> Scheduler::earliestDueLocked() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.begin()->first;
}

ThreadScheduler::ThreadScheduler(const Clock& clock, const char* threadName) : clock_(clock) {
  thread_ = std::thread([this, name = std::string(threadName)] {
    setCurrentThreadName(name);
    run();
  });
}

ThreadScheduler::~ThreadScheduler() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ThreadScheduler::jobsChanged() {
  std::lock_guard guard(mutex_);
  changed_.notify_all();
}

void ThreadScheduler::run() {
  auto wake = clock_.subscribeAdvance([this] { jobsChanged(); });
  for (;;) {
    if (auto due = takeDue(clock_.nowUs())) {
      (*due->second.job)();
      finish(due->first, due->second);
      continue;
    }
    // Adding or cancelling a job and moving a fake clock all notify under this lock, so nothing that
    // happens between reading the earliest due time and waiting can be missed.
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    uint64_t next = earliestDueLocked().value_or(UINT64_MAX);
    if (next <= clock_.nowUs()) continue;
    clock_.waitOnce(changed_, lock, next);
    if (stopping_) return;
  }
}

void ManualScheduler::advanceBy(uint64_t deltaUs) { advanceTo(clock_.nowUs() + deltaUs); }

void ManualScheduler::advanceTo(uint64_t targetUs) {
  while (auto due = takeDue(targetUs)) {
    if (due->second.dueUs > clock_.nowUs()) clock_.setUs(due->second.dueUs);
    (*due->second.job)();
    finish(due->first, due->second);
  }
  if (targetUs > clock_.nowUs()) clock_.setUs(targetUs);
}

}  // namespace tavlo
