#pragma once
// The main thread's queue. The host controller lives here: every one of its fields is touched only by
// jobs of this executor, one at a time, on the thread that drives it. A plain program drives it with
// run() from main(); an event loop (the tray application's) drives it with runUntilIdle() each time
// the wake hook tells it that work arrived. Other threads reach the controller by posting.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tavlo {

class MainExecutor {
 public:
  using Job = std::function<void()>;

  MainExecutor() = default;
  // Jobs that never ran are dropped (destroyed, not run).
  ~MainExecutor();
  MainExecutor(const MainExecutor&) = delete;
  MainExecutor& operator=(const MainExecutor&) = delete;

  // Queues `job` from any thread; false (and the job dropped) once the executor is closed.
  bool post(Job job);
  // Runs jobs on the calling thread as they arrive until quit(); returns the status given to quit.
  // Jobs still queued then stay queued. Returns at once when quit() was called before.
  int run();
  // Runs queued jobs, and the jobs they post, on the calling thread until the queue is empty or quit()
  // is called; returns how many ran.
  size_t runUntilIdle();
  // Runs at most `most` jobs the same way: an event loop runs a bounded batch per turn, so that its
  // own events wait behind no more than that.
  size_t runQueued(size_t most);
  // Whether jobs wait (and quit() was not called).
  bool hasQueuedJobs() const;
  // Makes run() return `status` once the job in progress (if any) has finished, and keeps both run()
  // and runUntilIdle() from running further jobs. Any thread; the first status given stays.
  void quit(int status);
  // The status given to quit, once it was called.
  std::optional<int> quitStatus() const;
  // Refuses new jobs and drops the queued ones.
  void close();

  // True on the thread that is running this executor's jobs right now.
  bool isCurrent() const { return runner_.load() == std::this_thread::get_id(); }
  // Called after every post (on the posting thread, without any lock held), so that an event loop can
  // wake up and call runUntilIdle(). Set it before other threads post.
  void setWakeHook(std::function<void()> wake);

 private:
  std::optional<Job> next(bool wait);

  mutable std::mutex mutex_;  // the fields below
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  bool closed_ = false;
  std::optional<int> quitStatus_;
  std::function<void()> wake_;
  std::atomic<std::thread::id> runner_{};
};

}  // namespace tavlo
