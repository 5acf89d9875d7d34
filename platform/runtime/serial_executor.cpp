#include "platform/runtime/serial_executor.hpp"

#include <future>

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

SerialExecutor::SerialExecutor(std::string label) : queue_(std::make_shared<Queue>(std::move(label))) {
  worker_ = std::thread([queue = queue_] { run(queue); });
  workerId_ = worker_.get_id();
}

SerialExecutor::~SerialExecutor() { shutdown(); }

bool SerialExecutor::post(Job job) {
  {
    std::lock_guard guard(queue_->mutex);
    if (queue_->stopping) return false;
    queue_->jobs.push_back(std::move(job));
  }
  queue_->ready.notify_one();
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

bool SerialExecutor::drainWithin(std::chrono::milliseconds limit) {
  // Shared with the job: a worker that is late sets a promise nobody waits for any more.
  auto drained = std::make_shared<std::promise<void>>();
  std::future<void> done = drained->get_future();
  if (!post([drained] { drained->set_value(); })) return true;
  return done.wait_for(limit) == std::future_status::ready;
}

void SerialExecutor::shutdown() {
  {
    std::lock_guard guard(queue_->mutex);
    queue_->stopping = true;
  }
  queue_->ready.notify_all();
  if (!worker_.joinable()) return;
  if (isCurrent()) {
    worker_.detach();  // a thread cannot join itself; it drains and ends on its own
  } else {
    worker_.join();
  }
}

void SerialExecutor::run(const std::shared_ptr<Queue>& queue) {
  setCurrentThreadName(queue->label);
  for (;;) {
    Job job;
    {
      std::unique_lock lock(queue->mutex);
      queue->ready.wait(lock, [&] { return queue->stopping || !queue->jobs.empty(); });
      if (queue->jobs.empty()) return;  // stopping and drained
      job = std::move(queue->jobs.front());
      queue->jobs.pop_front();
    }
    job();
  }
}

}  // namespace tavlo
