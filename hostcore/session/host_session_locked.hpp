#pragma once
// A step's hold on the session mutex, and the effects the step leaves for after it.
//
//   {
//     Locked locked(*this);
//     locked->identity.sawBye = true;              // fields change under the mutex
//     locked.log("…");                             // queued
//     locked.sendControl(LockStateMessage{…});     // framed now (current session id), sent later
//     locked.later([cb] { cb(); });                // any other call: callbacks, engines
//   }                                              // mutex released, then the queue runs in order
//
// release() does the same early; the hold cannot be taken again. Effects run on the releasing thread.
#include <functional>
#include <mutex>
#include <vector>

#include "hostcore/session/host_session.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

class HostSession::Locked {
 public:
  explicit Locked(const HostSession& session) : session_(const_cast<HostSession&>(session)), lock_(session_.mutex_) {}
  ~Locked() { release(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  SessionState& state() { return session_.state_; }
  SessionState* operator->() { return &session_.state_; }

  // A log line, written after the release.
  void log(std::string line) {
    effects_.push_back([session = &session_, line = std::move(line)] { session->log(line); });
  }
  // A control message on the session's current transport, with the session id of now and sequence 0.
  template <WirePayload T>
  void sendControl(const T& record) {
    sendControlOn(state().path.effectiveTransport(), record);
  }
  // A control message on a given transport (the one whose stream a loop reads), with the session id of
  // now and sequence 0.
  template <WirePayload T>
  void sendControlOn(std::shared_ptr<SessionTransport> transport, const T& record) {
    Bytes packet = encodePacket(record, state().identity.sessionId, 0);
    effects_.push_back([transport = std::move(transport), packet = std::move(packet)] {
      transport->control().send(packet);
    });
  }
  // Anything else to do after the release.
  void later(std::function<void()> effect) { effects_.push_back(std::move(effect)); }

  // Releases the mutex and runs the queued effects (later ones queued by them run too). Idempotent.
  void release() {
    if (lock_.owns_lock()) lock_.unlock();
    for (size_t i = 0; i < effects_.size(); ++i) {
      auto effect = std::move(effects_[i]);
      effect();
    }
    effects_.clear();
  }

 private:
  HostSession& session_;
  std::unique_lock<std::mutex> lock_;
  std::vector<std::function<void()>> effects_;
};

}  // namespace vela
