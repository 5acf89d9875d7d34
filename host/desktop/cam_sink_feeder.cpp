#include "host/desktop/cam_sink_feeder.hpp"

#include "host/desktop/letterbox.hpp"

namespace tavlo {

std::shared_ptr<CamSinkFeeder> CamSinkFeeder::create(std::unique_ptr<CameraSinks> sinks, Scheduler& scheduler) {
  return std::shared_ptr<CamSinkFeeder>(new CamSinkFeeder(std::move(sinks), scheduler));
}

CamSinkFeeder::~CamSinkFeeder() = default;

void CamSinkFeeder::setOnLog(LogSink onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

std::shared_ptr<CameraSink> CamSinkFeeder::startIfNeeded() {
  LogSink log;
  std::shared_ptr<CameraSink> sink;
  {
    std::lock_guard guard(mutex_);
    if (probing_) return nullptr;
    if (sink_) return sink_;
  }
  // The lookup maps shared memory: done outside the lock, then installed unless a probe began meanwhile.
  std::shared_ptr<CameraSink> found = sinks_->find(kDeviceUid);
  if (!found) return nullptr;
  {
    std::lock_guard guard(mutex_);
    if (probing_) return nullptr;
    if (!sink_) {
      sink_ = found;
      log = onLog_;
    }
    sink = sink_;
  }
  if (log) {
    log("📷 sink wirtualnej kamery wystartowany (device " + found->deviceLabel() + ", stream " +
        found->streamLabel() + ")");
  }
  return sink;
}

void CamSinkFeeder::push(const vela::PixelBuffer& frame) {
  auto sink = startIfNeeded();
  if (!sink) return;
  // The queue's own capacity decides: a full queue drops this frame and leaves the queued ones alone.
  sink->enqueue([&](const CameraFrameSlot& slot) { return renderLetterboxed(frame, slot); });
}

void CamSinkFeeder::startConsumptionWatcher() {
  std::lock_guard guard(mutex_);
  if (probeTimer_.isArmed()) return;
  std::weak_ptr<CamSinkFeeder> weak = weak_from_this();
  auto id = scheduler_.every(
      kProbeIntervalUs,
      [weak] {
        if (auto self = weak.lock()) self->probeConsumption();
      },
      kFirstProbeUs);
  probeTimer_ = ScopedTimer(scheduler_, id);
}

bool CamSinkFeeder::consumedCached() const {
  std::lock_guard guard(mutex_);
  return consumedCached_;
}

void CamSinkFeeder::probeConsumption() {
  std::shared_ptr<CameraSink> stopped;
  bool previous;
  {
    std::lock_guard guard(mutex_);
    if (probing_) return;
    // Letting go of the sink makes the next push look the camera up again (a restarted daemon has a
    // new mailbox); frames arriving meanwhile are dropped by startIfNeeded.
    stopped = std::move(sink_);
    probing_ = true;
    previous = consumedCached_;
  }
  stopped.reset();

  bool consumed = true;  // unknown counts as watched: the client keeps sending rather than going dark
  if (auto device = sinks_->find(kDeviceUid)) consumed = device->runningSomewhere().value_or(true);

  LogSink log;
  {
    std::lock_guard guard(mutex_);
    consumedCached_ = consumed;
    probing_ = false;
    if (consumed != previous) log = onLog_;
  }
  if (log) log(std::string("📷 konsumpcja kamery przez konsumenta wirtualnej kamery: ") + (consumed ? "TAK" : "NIE") + " (RSW)");
}

}  // namespace tavlo
