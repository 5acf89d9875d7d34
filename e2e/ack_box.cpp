#include "e2e/ack_box.hpp"

namespace vela {

void AckBox::resolve(bool value) {
  {
    std::lock_guard guard(mutex_);
    if (result_) return;
    result_ = value;
  }
  resolved_.notify_all();
}

bool AckBox::wait(uint64_t timeoutMs, const tavlo::Clock& clock) {
  auto wake = clock.subscribeAdvance([this] {
    std::lock_guard guard(mutex_);
    resolved_.notify_all();
  });
  uint64_t deadlineUs = clock.nowUs() + timeoutMs * 1000;
  std::unique_lock lock(mutex_);
  while (!result_ && clock.nowUs() < deadlineUs) clock.waitOnce(resolved_, lock, deadlineUs);
  if (!result_) result_ = false;  // the time-out is the first resolution: a late answer changes nothing
  return *result_;
}

}  // namespace vela
