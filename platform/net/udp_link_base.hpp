#pragma once
// The state machine and delivery path shared by both kinds of UdpLink (platform/net internal).
#include <atomic>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/net/datagram_batch.hpp"
#include "platform/net/udp_link.hpp"

namespace tavlo {

class UdpLinkBase : public UdpLink, public std::enable_shared_from_this<UdpLinkBase> {
 public:
  explicit UdpLinkBase(std::shared_ptr<NetThread> thread) : thread_(std::move(thread)) {}

  void start(OnState onState, OnDatagram onDatagram) override;
  void cancel() override;
  const std::shared_ptr<NetThread>& thread() const override { return thread_; }

  // NetThread: one datagram from the peer. Before start it waits (bounded, oldest dropped).
  void deliver(Bytes&& datagram);
  // NetThread: an error the socket reported while receiving.
  void receiveError(int error);
  // Any thread: the outcome of a send, which may move the link into or out of waiting.
  void sendOutcome(const DatagramBatchResult& result);

 protected:
  // NetThread, once, inside start: the link begins its own traffic. Returns the failure text, if any.
  virtual std::string begin() { return {}; }
  // Any thread, once, inside cancel.
  virtual void end() {}
  bool isFinal() const { return final_.load(std::memory_order_acquire); }

 private:
  void emit(State state, const std::string& error);    // NetThread: ready or waiting
  void finish(State state, const std::string& error);  // NetThread: failed or cancelled, once
  void enterWaiting(int error);
  void leaveWaiting();

  const std::shared_ptr<NetThread> thread_;
  std::atomic<bool> final_{false};
  std::atomic<bool> waitingHint_{false};  // may be waiting: a success is worth handing over
  // NetThread only:
  bool waiting_ = false;
  bool started_ = false;
  bool finalEmitted_ = false;
  std::optional<State> pendingFinal_;
  std::deque<Bytes> unstarted_;
  OnState onState_;
  OnDatagram onDatagram_;
};

}  // namespace tavlo
