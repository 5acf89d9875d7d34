#pragma once
// Takes the transports a listener yields, in arrival order, and hands each to the controller on its
// main executor; the next one is taken only once that hand-over has returned. Its thread ends when the
// listener's stream finishes (after the listener stops) or the loop is stopped.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/runtime/main_executor.hpp"
#include "protocol/transport_interfaces.hpp"

namespace tavlo {

class AcceptLoop {
 public:
  // Runs on the main executor.
  using HandOver = std::function<void(std::shared_ptr<vela::SessionTransport> transport)>;

  AcceptLoop(std::shared_ptr<vela::TransportListener> listener, MainExecutor& main, HandOver handOver);
  // stop()
  ~AcceptLoop();
  AcceptLoop(const AcceptLoop&) = delete;
  AcceptLoop& operator=(const AcceptLoop&) = delete;

  // Stops the listener (which finishes its stream), stops waiting for a hand-over and joins the thread.
  // A transport whose hand-over has not run yet is handed over later or dropped with its job.
  void stop();

 private:
  // Shared with the posted jobs, which may outlive the loop.
  struct Progress {
    std::mutex mutex;  // the fields below
    std::condition_variable changed;
    bool stopping = false;
    uint64_t handedOver = 0;  // jobs that ran or were dropped
  };
  struct HandOverDone;
  void run();

  const std::shared_ptr<vela::TransportListener> listener_;
  MainExecutor& main_;
  const HandOver handOver_;
  const std::shared_ptr<Progress> progress_ = std::make_shared<Progress>();
  std::thread thread_;
};

}  // namespace tavlo
