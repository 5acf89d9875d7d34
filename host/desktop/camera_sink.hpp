#pragma once
// The virtual camera as the host's feeder sees it: a device found by its identifier, with a sink queue
// of 1280×720 BGRA frames and a flag telling whether any application streams from the camera.
// MailboxCameraSinks (mailbox_camera_sinks.hpp) reaches the camera daemon; tests put a fake in its place.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tavlo {

// One free slot of the sink queue: `bytes` holds bytesPerRow × height bytes.
struct CameraFrameSlot {
  std::span<uint8_t> bytes;
  size_t bytesPerRow = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class CameraSink {
 public:
  virtual ~CameraSink() = default;
  // What the log shows for the device and its sink stream.
  virtual std::string deviceLabel() const = 0;
  virtual std::string streamLabel() const = 0;
  // Hands `render` a free slot and queues the frame when it returns true. False, without calling
  // `render`, while the queue is full: the consumer is behind and the frame is dropped.
  virtual bool enqueue(const std::function<bool(const CameraFrameSlot&)>& render) = 0;
  // Whether any application streams from the camera; nullopt when that cannot be read.
  virtual std::optional<bool> runningSomewhere() const = 0;
};

class CameraSinks {
 public:
  virtual ~CameraSinks() = default;
  // The sink of the camera whose identifier is `uid`; nullptr while there is none.
  virtual std::unique_ptr<CameraSink> find(const std::string& uid) = 0;
};

}  // namespace tavlo
