#include "devices/camera-extension/cam_device.hpp"

namespace tavlo {

CamDevice::CamDevice(cammailbox::MailboxView mailbox, Scheduler& scheduler, Emit emit)
    : mailbox_(mailbox),
      scheduler_(scheduler),
      emit_(std::move(emit)),
      idleFrame_(std::make_shared<const Bytes>(cammailbox::kFrameBytes, kIdleByte)) {}

CamDevice::~CamDevice() { stop(); }

void CamDevice::stop() {
  std::lock_guard guard(mutex_);
  frameTimer_.cancel();
  pumpTimer_.cancel();
  mailbox_.setRunning(false);
}

void CamDevice::startPump() {
  std::lock_guard guard(mutex_);
  if (pumpTimer_.isArmed()) return;
  pumpTimer_ = ScopedTimer(scheduler_, scheduler_.every(kPumpIntervalUs, [this] { pumpOnce(); }, 0));
}

void CamDevice::startStreaming() {
  startPump();
  std::lock_guard guard(mutex_);
  ++streamingCounter_;
  mailbox_.setRunning(true);
  if (frameTimer_.isArmed()) return;  // other applications stream already: one timer serves them all
  frameTimer_ = ScopedTimer(scheduler_, scheduler_.every(kFrameIntervalUs, [this] { emitFrame(); }, 0));
}

void CamDevice::stopStreaming() {
  std::lock_guard guard(mutex_);
  if (--streamingCounter_ > 0) return;
  streamingCounter_ = 0;
  mailbox_.setRunning(false);
  frameTimer_.cancel();
}

void CamDevice::emitFrame() {
  std::shared_ptr<const Bytes> frame;
  {
    std::lock_guard guard(mutex_);
    const uint64_t now = scheduler_.clock().nowUs();
    if (lastSink_ && lastSinkAtUs_ != 0 && now - lastSinkAtUs_ < kSinkFreshUs) frame = lastSink_;
  }
  if (!frame) frame = idleFrame_;
  emit_(*frame, cammailbox::kBytesPerRow);
}

void CamDevice::pumpOnce() {
  std::shared_ptr<Bytes> buffer;
  {
    std::lock_guard guard(mutex_);
    buffer = std::move(spare_);
  }
  // A buffer still being emitted (held elsewhere) is not written over: the pump takes a new one.
  if (!buffer || buffer.use_count() != 1) buffer = std::make_shared<Bytes>(cammailbox::kFrameBytes);
  if (!mailbox_.takeNewest(*buffer)) {
    std::lock_guard guard(mutex_);
    spare_ = std::move(buffer);
    return;
  }
  std::lock_guard guard(mutex_);
  // The frame shown until now becomes the next spare once its last emit has let go of it.
  spare_ = std::const_pointer_cast<Bytes>(std::exchange(lastSink_, std::move(buffer)));
  lastSinkAtUs_ = scheduler_.clock().nowUs();
}

int CamDevice::streamingCount() const {
  std::lock_guard guard(mutex_);
  return streamingCounter_;
}

bool CamDevice::frameTimerRunning() const {
  std::lock_guard guard(mutex_);
  return frameTimer_.isArmed();
}

bool CamDevice::pumpRunning() const {
  std::lock_guard guard(mutex_);
  return pumpTimer_.isArmed();
}

}  // namespace tavlo
