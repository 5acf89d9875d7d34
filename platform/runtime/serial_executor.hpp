#pragma once
// A serial queue: jobs run one at a time, in the order they were posted, on one named worker thread.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tavlo {

class SerialExecutor {
 public:
  using Job = std::function<void()>;

  // `label` is the queue's label; the worker thread carries its first 15 characters as its name.
  explicit SerialExecutor(std::string label);
  // shutdown(). Safe from one of its own jobs too: the worker then finishes the queued jobs on its own
  // after this object is gone.
  ~SerialExecutor();
  SerialExecutor(const SerialExecutor&) = delete;
  SerialExecutor& operator=(const SerialExecutor&) = delete;

  // Queues `job`; returns false (and drops it) after shutdown.
  bool post(Job job);
  // Runs `job` on the worker and waits for it; runs it in place when called from the worker itself.
  // Returns false without running it after shutdown.
  bool sync(const Job& job);
  // Waits until the jobs queued before this call have run; false when `limit` passed first (they then
  // go on running). True at once after shutdown. Not from the worker itself.
  bool drainWithin(std::chrono::milliseconds limit);
  // Refuses new jobs, runs the ones already queued and, unless called from a job, waits for the worker
  // to finish them. Idempotent.
  void shutdown();

  bool isCurrent() const { return std::this_thread::get_id() == workerId_; }
  const std::string& label() const { return queue_->label; }

 private:
  // Shared with the worker thread, so that a worker outliving its executor still has its queue.
  struct Queue {
    explicit Queue(std::string label) : label(std::move(label)) {}
    const std::string label;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Job> jobs;
    bool stopping = false;
  };
  static void run(const std::shared_ptr<Queue>& queue);

  std::shared_ptr<Queue> queue_;
  std::thread worker_;
  std::thread::id workerId_;
};

}  // namespace tavlo
