#pragma once
// Test kit of the transport tests: waits on channels and logs, and for the direct path a minimal owner
// of a HostListener, doing what the host controller does with one (a log sink, a start on a free port
// block, an accept loop consuming `sessions`, a stop), and a way to get a connected client/host pair.
// Every test program linking it checks that each test ends the network threads it started.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/channel.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "transport/direct_dialer.hpp"
#include "transport/direct_session_transport.hpp"
#include "transport/host_listener.hpp"
#include "transport/transport_error.hpp"

namespace vela::testkit {

using namespace std::chrono_literals;

// Receives from `channel` for up to `timeout` of real time (a wait for an event, not a sleep).
template <class T>
std::optional<T> receiveWithin(tavlo::Channel<T>& channel, std::chrono::milliseconds timeout = 5s) {
  const auto& clock = tavlo::SteadyClock::shared();
  return channel.receiveUntil(clock, clock.nowUs() + static_cast<uint64_t>(timeout.count()) * 1000);
}

// Log lines from any thread, kept in order; its sink may outlive it.
class LogRecorder {
 public:
  tavlo::LogSink sink() const;
  // Waits until `count` lines containing `text` have been logged; the last of them, or nullopt.
  std::optional<std::string> waitFor(const std::string& text, size_t count = 1, std::chrono::milliseconds timeout = 5s);
  std::vector<std::string> lines() const;
  size_t count(const std::string& text) const;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable added;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class LoopbackHost {
 public:
  // `scheduler` (optional) drives the listener's late-flow checks; tests pass a ManualScheduler.
  explicit LoopbackHost(tavlo::Scheduler* scheduler = nullptr);
  // Stops the listener and ends the accept loop.
  ~LoopbackHost();

  // Starts the listener on a block of four ports found free now (tries random bases, as parallel test
  // programs may take ports at any moment). On failure logs "❌ start nasłuchu: " and the error, and
  // returns false.
  bool start();
  uint16_t basePort() const { return basePort_; }
  HostListener& listener() { return *listener_; }
  void stop();

  // The next transport the accept loop took; null when none comes within `timeout`.
  std::shared_ptr<DirectSessionTransport> nextSession(std::chrono::milliseconds timeout = 5s);
  // Whether the accept loop has ended (the listener's `sessions` finished).
  bool acceptLoopEnded();

  // Log lines of the listener and of its transports' flows.
  LogRecorder log;

 private:
  std::shared_ptr<HostListener> listener_;
  uint16_t basePort_ = 0;
  tavlo::Channel<std::shared_ptr<SessionTransport>> accepted_;
  std::thread acceptLoop_;
};

struct ConnectedPair {
  std::shared_ptr<DirectSessionTransport> client;
  std::shared_ptr<DirectSessionTransport> host;
};

// Dials `host` (an address of the loopback) and returns both ends of the session, or nulls on failure.
ConnectedPair connectPair(LoopbackHost& host, const std::string& address = "127.0.0.1", DirectDialer dialer = {});

// The TransportError that `operation` throws; nothing when it returns.
std::optional<TransportError> transportErrorOf(const std::function<void()>& operation);

// Where this machine has no IPv6 (many container runners), what a user of it gets from `address` (an IPv6
// one): the host still starts, serving IPv4 alone, and a dialer to `address` fails at once with a
// TransportError saying the connection never became ready, not a hang or a crash. Returns true after
// checking that; false where IPv6 is there (or `address` is IPv4) and the caller runs its IPv6 case.
bool checkedWithoutIpv6(const std::string& address, DirectDialer dialer = {});

// Repeats `condition` (with the listener's thread idle in between) until it holds or `timeout` passes.
bool waitUntil(HostListener& listener, const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);

}  // namespace vela::testkit
