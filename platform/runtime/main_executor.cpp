#include "platform/runtime/main_executor.hpp"

#include <cstdint>
#include <utility>

namespace tavlo {

MainExecutor::~MainExecutor() { close(); }

bool MainExecutor::post(Job job) {
  std::function<void()> wake;
  {
    std::lock_guard guard(mutex_);
    if (closed_) return false;
    jobs_.push_back(std::move(job));
    wake = wake_;
  }
  ready_.notify_one();
  if (wake) wake();
  return true;
}

std::optional<MainExecutor::Job> MainExecutor::next(bool wait) {
  std::unique_lock lock(mutex_);
  if (wait) ready_.wait(lock, [&] { return !jobs_.empty() || quitStatus_ || closed_; });
  if (jobs_.empty() || quitStatus_) return std::nullopt;
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  return job;
}

int MainExecutor::run() {
  auto previous = runner_.exchange(std::this_thread::get_id());
  while (auto job = next(true)) (*job)();
  runner_.store(previous);
  std::lock_guard guard(mutex_);
  return quitStatus_.value_or(0);
}

size_t MainExecutor::runUntilIdle() { return runQueued(SIZE_MAX); }

size_t MainExecutor::runQueued(size_t most) {
  auto previous = runner_.exchange(std::this_thread::get_id());
  size_t ran = 0;
  while (ran < most) {
    auto job = next(false);
    if (!job) break;
    (*job)();
    ++ran;
  }
  runner_.store(previous);
  return ran;
}

bool MainExecutor::hasQueuedJobs() const {
  std::lock_guard guard(mutex_);
  return !jobs_.empty() && !quitStatus_;
}

void MainExecutor::quit(int status) {
  {
    std::lock_guard guard(mutex_);
    if (!quitStatus_) quitStatus_ = status;
  }
  ready_.notify_all();
}

std::optional<int> MainExecutor::quitStatus() const {
  std::lock_guard guard(mutex_);
  return quitStatus_;
}

void MainExecutor::close() {
  std::deque<Job> dropped;
  {
    std::lock_guard guard(mutex_);
    closed_ = true;
    dropped.swap(jobs_);
  }
  ready_.notify_all();
  // The dropped jobs are destroyed here, outside the lock: their captures may post or log.
}

void MainExecutor::setWakeHook(std::function<void()> wake) {
  std::lock_guard guard(mutex_);
  wake_ = std::move(wake);
}

}  // namespace tavlo
