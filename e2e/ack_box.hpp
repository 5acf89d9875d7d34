#pragma once
// The one-shot rendezvous between the client's handshake intercept (on a pump thread) and the thread
// that waits for the host's answer. The first resolution decides; the hand-over is safe in any order,
// an answer that came before the wait began included.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/runtime/clock.hpp"

namespace vela {

class AckBox {
 public:
  void resolve(bool value);
  // The resolved value, or false once `timeoutMs` of `clock` have passed without one. Waited on once.
  bool wait(uint64_t timeoutMs, const tavlo::Clock& clock);

 private:
  std::mutex mutex_;
  std::condition_variable resolved_;
  std::optional<bool> result_;
};

}  // namespace vela
