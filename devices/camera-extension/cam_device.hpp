#pragma once
// The virtual camera "Tavlo Camera" inside the camera daemon: while applications stream from it, it
// emits a frame every 1/30 s: the newest frame the host put into the mailbox while it is younger than
// 1.5 s, otherwise the idle frame (every byte 0x18). A pump takes frames out of the mailbox every 10 ms
// and keeps only the newest; it runs once however often streaming starts.
//
// The emitted frame is handed to `emit` outside the lock; timers run on the given scheduler.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "devices/shared/cam_mailbox.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/scheduler.hpp"

namespace tavlo {

class CamDevice {
 public:
  static constexpr uint64_t kFrameIntervalUs = 33'333;  // 30 frames a second
  // How long a frame from the host is shown again when no newer one comes.
  static constexpr uint64_t kSinkFreshUs = 1'500'000;
  static constexpr uint64_t kPumpIntervalUs = 10'000;
  static constexpr uint8_t kIdleByte = 0x18;

  using Emit = std::function<void(ByteView frame, size_t bytesPerRow)>;

  // `mailbox` (a view of kTotalBytes) and `scheduler` must outlive the device.
  CamDevice(cammailbox::MailboxView mailbox, Scheduler& scheduler, Emit emit);
  ~CamDevice();
  CamDevice(const CamDevice&) = delete;
  CamDevice& operator=(const CamDevice&) = delete;

  // Starts the mailbox pump unless it runs already.
  void startPump();
  // An application starts streaming: counts it, starts the frame timer and the pump if needed, and
  // tells the host that the camera is in use.
  void startStreaming();
  // An application stops: the last one stops the frame timer and clears the in-use flag. A stop
  // without a matching start leaves the count at 0.
  void stopStreaming();

  // Cancels both timers and clears the in-use flag. A job already running on the scheduler's thread
  // finishes; the owner waits for it before destroying the device.
  void stop();

  // The timer jobs, public for tests that drive them directly.
  void emitFrame();
  void pumpOnce();

  int streamingCount() const;
  bool frameTimerRunning() const;
  bool pumpRunning() const;

 private:
  cammailbox::MailboxView mailbox_;
  Scheduler& scheduler_;
  const Emit emit_;
  const std::shared_ptr<const Bytes> idleFrame_;

  mutable std::mutex mutex_;
  int streamingCounter_ = 0;
  ScopedTimer frameTimer_;
  ScopedTimer pumpTimer_;
  std::shared_ptr<const Bytes> lastSink_;
  uint64_t lastSinkAtUs_ = 0;  // 0: never
  std::shared_ptr<Bytes> spare_;  // the pump's next buffer, reused once nobody holds it
};

}  // namespace tavlo
