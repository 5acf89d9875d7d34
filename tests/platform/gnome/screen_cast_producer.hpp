#pragma once
// Screen-cast producers for the consumer's tests on a private PipeWire stack: the project's own
// Video/Source node (BGRx at a fixed size, a picture whenever the test sends one), and a node that
// lies about its buffers, for the consumer's refusals.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipewire/pipewire_context.hpp"
#include "platform/pipewire/pipewire_video_source.hpp"

struct pw_stream;

namespace tavlo::testkit {

// Polls `condition` until it holds or `timeout` passes (generous: the servers run slowly under load).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// A BGRX picture of `width` × `height` filled with one colour.
std::vector<uint8_t> solidPicture(int32_t width, int32_t height, uint8_t blue, uint8_t green, uint8_t red);

// The project's Video/Source node on the stack at `remote`, with its id once registered.
class ScreenProducer {
 public:
  // Fails the calling test (ADD_FAILURE) and leaves source() null when the node cannot be made.
  ScreenProducer(const std::string& remote, int32_t width, int32_t height);
  ~ScreenProducer();
  // The node's id (waits until the server registered it); 0 on failure.
  uint32_t nodeId();
  // Sends one solid picture; false while no consumer streams.
  bool send(uint8_t blue, uint8_t green, uint8_t red);
  PipeWireVideoSource* source() { return source_.get(); }

 private:
  int32_t width_, height_;
  std::unique_ptr<PipeWireContext> context_;
  std::unique_ptr<PipeWireVideoSource> source_;
};

// A BGRx node whose buffers the test writes field by field: a chunk that claims any size, a picture of
// one grey level, the pointer's metadata.
class ScriptedProducer {
 public:
  struct Pointer {
    int32_t x = 0;  // the hot spot, in the picture's pixels (the image's top-left corner: hot spot 0, 0)
    int32_t y = 0;
    bool withImage = true;  // send the image (an opaque white square of kPointerSide), not only the position
  };
  static constexpr int32_t kPointerSide = 8;

  ScriptedProducer(const std::string& remote, int32_t width, int32_t height);
  ~ScriptedProducer();
  uint32_t nodeId();
  bool streaming() const;
  // Sends one buffer whose chunk claims `chunkSize` bytes (0: metadata only) of a picture of one grey
  // level; false while no consumer streams or no buffer is free.
  bool send(uint32_t chunkSize, std::optional<Pointer> pointer = std::nullopt, uint8_t grey = 0x40);
  // A whole picture's chunk size.
  uint32_t pictureSize() const { return uint32_t(width_) * uint32_t(height_) * 4; }

  struct Events;

 private:
  int32_t width_, height_;
  std::unique_ptr<PipeWireContext> context_;
  pw_stream* stream_ = nullptr;
  std::unique_ptr<Events> events_;
};

}  // namespace tavlo::testkit
