#include "platform/runtime/serial_executor.hpp"

#include <future>

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

SerialExecutor::SerialExecutor(std::string label) : label_(std::move(label)) {
  worker_ = std::thread([this] { run(); });
  workerId_ = worker_.get_id();
}

SerialExecutor::~SerialExecutor() { shutdown(); }

bool SerialExecutor::post(Job job) {
  {
    std::lock_guard guard(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

bool SerialExecutor::sync(const Job& job) {
  if (isCurrent()) {
    job();
    return true;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  if (!post([&] {
        job();
        done.set_value();
      }))
    return false;
  finished.wait();
  return true;
}

void SerialExecutor::shutdown() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  if (worker_.joinable() && !isCurrent()) worker_.join();
}

void SerialExecutor::run() {
  setCurrentThreadName(label_);
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping and drained
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace tavlo
