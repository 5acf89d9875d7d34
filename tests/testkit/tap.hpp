#pragma once
// A thread-safe record of the packets handed to one channel, in order: the "wire tap" of the test
// transports.
#include <mutex>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace vela::testkit {

class Tap {
 public:
  void add(tavlo::ByteView packet) {
    std::lock_guard guard(mutex_);
    items_.emplace_back(packet.begin(), packet.end());
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
};

}  // namespace vela::testkit
