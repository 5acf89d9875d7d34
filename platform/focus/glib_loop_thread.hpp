#pragma once
// A thread running a GLib main loop on a context of its own. A GLib-based library that is not
// thread-safe (libatspi) is used only from jobs run here; its D-Bus traffic is dispatched here too.
#include <glib.h>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

namespace tavlo {

class GlibLoopThread {
 public:
  using Job = std::function<void()>;

  // `label` names the thread (its first 15 characters).
  explicit GlibLoopThread(std::string label);
  // Runs the jobs already queued, stops the loop and joins the thread.
  ~GlibLoopThread();
  GlibLoopThread(const GlibLoopThread&) = delete;
  GlibLoopThread& operator=(const GlibLoopThread&) = delete;

  GMainContext* context() const { return context_; }
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  // Queues `job` to run on the loop thread, after the jobs queued before it.
  void post(Job job);

  // Runs `fn` on the loop thread and waits for its result (in place when called from there). A job
  // that could not run (the loop stopped) gives a value-initialised result.
  template <typename Fn>
  std::invoke_result_t<Fn> call(Fn fn) {
    using Result = std::invoke_result_t<Fn>;
    if (isCurrent()) return fn();
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(fn));
    auto result = task->get_future();
    post([task] { (*task)(); });
    try {
      return result.get();
    } catch (const std::future_error&) {  // dropped unrun: its promise broke
      if constexpr (!std::is_void_v<Result>) return Result{};
    }
  }

 private:
  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
};

}  // namespace tavlo
