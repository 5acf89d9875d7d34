#pragma once
// A thread-safe record of the packets handed to one channel, in order: the "wire tap" of the test
// transports. A test may also hold a packet at the moment it is handed over (setOnAdd): the hook runs
// on the sender's thread before the packet travels on, so a test can make the other side act first.
#include <functional>
#include <mutex>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace vela::testkit {

class Tap {
 public:
  using Hook = std::function<void(tavlo::ByteView packet)>;

  void add(tavlo::ByteView packet) {
    Hook hook;
    {
      std::lock_guard guard(mutex_);
      items_.emplace_back(packet.begin(), packet.end());
      hook = hook_;
    }
    if (hook) hook(packet);
  }
  void setOnAdd(Hook hook) {
    std::lock_guard guard(mutex_);
    hook_ = std::move(hook);
  }
  std::vector<tavlo::Bytes> items() const {
    std::lock_guard guard(mutex_);
    return items_;
  }
  size_t size() const {
    std::lock_guard guard(mutex_);
    return items_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<tavlo::Bytes> items_;
  Hook hook_;
};

}  // namespace vela::testkit
