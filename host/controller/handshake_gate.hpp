#pragma once
// The connections that have reached the host but not yet agreed a session key. Anyone who completes a
// connection (one TCP connect and three datagrams, or a relay join) gets one, so a waiting connection
// costs no thread of its own: one worker answers the first E2E handshake of every connection, woken by
// its streams, and only a connection whose hello passed the gate key gets its encrypting wrapper and
// its session, with their threads. Before that nothing but a valid E2E hello could pass the wrapper
// anyway: the other packets are dropped as they come, so a waiting connection holds no growing queue.
//
// Waiting connections are capped in total and per remote address (a new one over a cap closes the
// oldest waiting one) and each is closed when it has not agreed a key within handshakeTimeoutUs.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "transport/log_rate_limiter.hpp"
#include "e2e/e2e_identity.hpp"
#include "e2e/encrypted_transport.hpp"
#include "platform/runtime/capped_waiting_list.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"

namespace tavlo {

class HandshakeGate : public std::enable_shared_from_this<HandshakeGate> {
 public:
  // As long as a session waits for its hello: a client sends its E2E hello right after connecting.
  static constexpr uint64_t handshakeTimeoutUs = 8'000'000;
  static constexpr const char* workerLabel = "vela.handshake";
  // Items of each stream one wake-up of a connection takes before the other connections' turn.
  static constexpr size_t drainBudget = 256;

  // Given the keyed wrapper of a connection whose handshake was answered; runs on the gate's worker.
  using Keyed = std::function<void(std::shared_ptr<vela::EncryptedTransport> wrapper)>;

  static constexpr uint64_t peerLineWindowUs = 10'000'000;
  static constexpr uint32_t peerLinesPerWindow = 12;

  struct Options {
    std::shared_ptr<const vela::E2EIdentity> identity;
    Scheduler* scheduler = nullptr;  // required: times the waits and the log budget; must outlive the gate
    LogSink onLog;
    Keyed onKeyed;
    size_t totalCap = CappedWaitingList<int>::defaultTotalCap;
    size_t perAddressCap = CappedWaitingList<int>::defaultPerAddressCap;
    uint64_t timeoutUs = handshakeTimeoutUs;
  };

  // Throws std::invalid_argument without a scheduler: nothing would end a wait.
  static std::shared_ptr<HandshakeGate> create(Options options);
  // Closes every connection still waiting.
  ~HandshakeGate();
  HandshakeGate(const HandshakeGate&) = delete;
  HandshakeGate& operator=(const HandshakeGate&) = delete;

  // Takes `transport` to wait for its handshake; from any thread, returns at once.
  void admit(std::shared_ptr<vela::SessionTransport> transport);
  // Closes every waiting connection and every later one.
  void stop();

  // For diagnostics and tests: the connections waiting now, and a wait until the worker has run
  // everything queued before the call.
  size_t waitingCount();
  void waitIdle();

 private:
  struct Waiting;
  struct Private {};

 public:
  HandshakeGate(Private, Options options);

 private:
  void take(const std::shared_ptr<vela::SessionTransport>& transport);  // worker
  void watch(const std::shared_ptr<Waiting>& waiting);                   // worker
  void drain(const std::shared_ptr<Waiting>& waiting);                   // worker
  // Any thread: queues one drain of `waiting` on the worker.
  static void queueDrain(SerialExecutor& worker, std::weak_ptr<HandshakeGate> gate, std::weak_ptr<Waiting> waiting);
  void expire(const std::shared_ptr<Waiting>& waiting);                  // worker
  // Stops waiting for `waiting`: no more timer or wake-ups, and the gate lets go of it.
  void release(const std::shared_ptr<Waiting>& waiting);  // worker
  void closeAll();                                        // worker, or the destructor once it has stopped
  void log(const std::string& line) const;
  // Worker only: whether a line any peer can provoke may be written now, and how it ends (peerLines_).
  std::optional<std::string> admitPeerLine();

  const Options options_;
  // Shared with the stream observers, which only ever post to it.
  const std::shared_ptr<SerialExecutor> worker_;

  // The worker's own fields.
  bool stopped_ = false;
  CappedWaitingList<Waiting> list_;
  // Lines any peer can provoke (displaced, timed out, refused) share one budget: a flood of half-open
  // connections writes a few lines and a count, not one line each.
  vela::LogRateLimiter peerLines_{peerLineWindowUs, peerLinesPerWindow};
  std::set<std::shared_ptr<Waiting>> held_;
};

}  // namespace tavlo
