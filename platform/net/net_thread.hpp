#pragma once
// The serial queue of the network layer: one Asio io_context run by one named thread. Every socket of
// platform/net belongs to one NetThread; its handlers, receive loops and completions run there, one at
// a time, in order. A socket keeps its thread alive, so the thread outlives everything it serves.
#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace tavlo {

class NetThread {
 public:
  using Job = std::function<void()>;

  // Starts the thread; `label` names it (its first 15 characters).
  static std::shared_ptr<NetThread> start(std::string label);
  ~NetThread();
  NetThread(const NetThread&) = delete;
  NetThread& operator=(const NetThread&) = delete;

  // Queues `job` to run on the thread after everything queued before it.
  void post(Job job);
  // Runs `job` on the thread and waits for it; runs it in place when called from the thread itself
  // (or once the thread was stopped at exit).
  void sync(const Job& job);
  bool isCurrent() const;
  const std::string& label() const;

  // Threads started and not yet ended (joined, or finished after being detached). A test that ends
  // with more than it began with has left sockets behind.
  static int liveCount();

  // For the sockets of platform/net only.
  asio::io_context& context();

  struct State;

 private:
  explicit NetThread(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace tavlo
