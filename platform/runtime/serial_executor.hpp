#pragma once
// A serial queue: jobs run one at a time, in the order they were posted, on one named worker thread.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tavlo {

class SerialExecutor {
 public:
  using Job = std::function<void()>;

  // `label` is the queue's label; the worker thread carries its first 15 characters as its name.
  explicit SerialExecutor(std::string label);
  ~SerialExecutor();  // shutdown()
  SerialExecutor(const SerialExecutor&) = delete;
  SerialExecutor& operator=(const SerialExecutor&) = delete;

  // Queues `job`; returns false (and drops it) after shutdown.
  bool post(Job job);
  // Runs `job` on the worker and waits for it; runs it in place when called from the worker itself.
  // Returns false without running it after shutdown.
  bool sync(const Job& job);
  // Runs the jobs already queued, then stops the worker. Idempotent; may not be called from a job.
  void shutdown();

  bool isCurrent() const { return std::this_thread::get_id() == workerId_; }
  const std::string& label() const { return label_; }

 private:
  void run();

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread worker_;
  std::thread::id workerId_;
};

}  // namespace tavlo
