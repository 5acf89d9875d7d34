#pragma once
// Feeds the client's camera into the virtual camera "Tavlo Camera": each decoded frame is letterboxed to
// 1280×720 BGRA straight into a free slot of the camera's sink queue, and dropped while the queue is
// full. A consumption watcher probes whether any application streams from the camera (first after 1 s,
// then every 3 s), so that the session asks the client for camera video only while it is watched.
//
// A probe lets go of the sink and looks the camera up afresh, so a camera daemon that started again
// is found again; frames pushed while a probe runs are dropped, and the next push opens the sink anew.
#include <memory>
#include <mutex>

#include "devices/shared/device_identifiers.hpp"
#include "host/desktop/camera_sink.hpp"
#include "media/pixel_buffer.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class CamSinkFeeder : public std::enable_shared_from_this<CamSinkFeeder> {
 public:
  // The camera's device identifier, which the camera daemon gives its device.
  static constexpr const char* kDeviceUid = deviceids::kCameraUid;
  // The consumption watcher's first probe and its period.
  static constexpr uint64_t kFirstProbeUs = 1'000'000;
  static constexpr uint64_t kProbeIntervalUs = 3'000'000;

  // `scheduler` runs the consumption watcher (the host gives it one of its own, "tl.cam.consumed");
  // both must outlive the feeder.
  static std::shared_ptr<CamSinkFeeder> create(std::unique_ptr<CameraSinks> sinks, Scheduler& scheduler);
  ~CamSinkFeeder();

  void setOnLog(LogSink onLog);
  // From the session's camera path: letterbox and enqueue, or drop.
  void push(const vela::PixelBuffer& frame);
  // Starts the periodic probe once; later calls do nothing. It runs as long as the feeder exists.
  void startConsumptionWatcher();
  // The last probe's answer: an application streams from the camera (true until a probe said no, and
  // whenever the camera cannot be found or asked).
  bool consumedCached() const;
  // One probe now (the watcher's job; the owner may call it too).
  void probeConsumption();

 private:
  CamSinkFeeder(std::unique_ptr<CameraSinks> sinks, Scheduler& scheduler)
      : sinks_(std::move(sinks)), scheduler_(scheduler) {}
  // The running sink, opened when needed; nullptr while a probe runs or the camera is absent.
  std::shared_ptr<CameraSink> startIfNeeded();

  const std::unique_ptr<CameraSinks> sinks_;
  Scheduler& scheduler_;

  mutable std::mutex mutex_;
  std::shared_ptr<CameraSink> sink_;  // set while the sink is started
  bool probing_ = false;
  bool consumedCached_ = false;
  ScopedTimer probeTimer_;
  LogSink onLog_;
};

}  // namespace tavlo
