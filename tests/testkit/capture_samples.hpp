#pragma once
// The screen samples a capture stream posts, as a test receives them: the stream's screen output is
// delivered on a queue of the test's own and its samples wait in a channel until the test takes them.
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/capture/capture_backend.hpp"
#include "platform/runtime/channel.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo::testkit {

class CaptureSamples {
 public:
  // Attaches the screen output to `stream` and starts it.
  void start(CaptureStream& stream) {
    stream.addScreenOutput([this](ScreenSample sample) { samples_.send(std::move(sample)); }, queue_);
    stream.startCapture();
  }
  // The next sample; none when none came within `waitUs`.
  std::optional<ScreenSample> next(uint64_t waitUs) {
    const Clock& clock = SteadyClock::shared();
    return samples_.receiveUntil(clock, clock.nowUs() + waitUs);
  }
  // Drops what was delivered so far. A frame the capture thread posted just before it stopped (or was
  // reconfigured) may still be queued: the queue runs dry first.
  void drain() {
    queue_->sync([] {});
    while (samples_.tryReceive()) {
    }
  }

 private:
  std::shared_ptr<SerialExecutor> queue_ = std::make_shared<SerialExecutor>("vela.capture");
  Channel<ScreenSample> samples_;
};

}  // namespace tavlo::testkit
