#include "platform/net/net_thread.hpp"

#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

struct NetThread::State {
  explicit State(std::string name) : label(std::move(name)), work(asio::make_work_guard(context)) {}
  const std::string label;
  asio::io_context context;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;
  std::thread::id threadId;
};

namespace {

// Every thread still running. Threads can outlive their owners for a moment (a cancellation still
// completing, or a thread whose last owner let go inside one of its own handlers and was detached),
// and a program may exit with sockets still open: at exit every io_context is stopped and the threads
// are given a moment to leave their handlers, so that none runs while the process tears down the
// statics it uses.
struct Running {
  std::mutex mutex;
  std::condition_variable none;
  std::set<NetThread::State*> states;  // running
  int ending = 0;                       // out of `states`, still destroying their io_context
};

Running& running() {
  static Running* instance = new Running;  // never destroyed: threads use it until their last moment
  return *instance;
}

void stopRunningThreads() {
  auto& r = running();
  std::unique_lock lock(r.mutex);
  for (auto* state : r.states) state->context.stop();
  r.none.wait_for(lock, std::chrono::seconds(2), [&] { return r.states.empty() && r.ending == 0; });
}

// Runs once, before the first thread starts: the error categories the handlers print through are
// constructed first, so the exit handler registered after them runs before they are destroyed.
void registerExitStop() {
  static const bool registered = [] {
    (void)asio::error::get_misc_category();
    (void)asio::error::get_netdb_category();
    (void)asio::error::get_addrinfo_category();
    (void)std::generic_category();
    (void)std::system_category();
    std::atexit(stopRunningThreads);
    return true;
  }();
  (void)registered;
}

}  // namespace


std::shared_ptr<NetThread> NetThread::start(std::string label) {
  registerExitStop();
  auto state = std::make_shared<State>(std::move(label));
  {
    std::lock_guard guard(running().mutex);
    running().states.insert(state.get());
  }
  std::promise<void> started;
  auto isRunning = started.get_future();
  // The thread holds the state: when the last owner lets go from inside a handler, the thread cannot
  // join itself, so it is detached and the io_context dies on this thread once run() has returned.
  state->thread = std::thread([state, &started]() mutable {
    setCurrentThreadName(state->label);
    state->threadId = std::this_thread::get_id();
    started.set_value();
    state->context.run();
    auto& r = running();
    {
      std::lock_guard guard(r.mutex);
      r.states.erase(state.get());
      r.ending += 1;
    }
    state.reset();
    {
      std::lock_guard guard(r.mutex);
      r.ending -= 1;
    }
    r.none.notify_all();
  });
  isRunning.wait();
  return std::shared_ptr<NetThread>(new NetThread(std::move(state)));
}

NetThread::NetThread(std::shared_ptr<State> state) : state_(std::move(state)) {}

NetThread::~NetThread() {
  state_->work.reset();
  state_->context.stop();
  if (isCurrent()) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}

void NetThread::post(Job job) { asio::post(state_->context, std::move(job)); }

void NetThread::sync(const Job& job) {
  // A thread stopped at exit runs nothing more: a job for it (a socket closing in a static's
  // destructor) runs in place rather than waiting forever.
  if (isCurrent() || state_->context.stopped()) {
    job();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  post([&] {
    job();
    done.set_value();
  });
  finished.wait();
}

int NetThread::liveCount() {
  std::lock_guard guard(running().mutex);
  return static_cast<int>(running().states.size()) + running().ending;
}

bool NetThread::isCurrent() const { return std::this_thread::get_id() == state_->threadId; }

const std::string& NetThread::label() const { return state_->label; }

asio::io_context& NetThread::context() { return state_->context; }

}  // namespace tavlo
