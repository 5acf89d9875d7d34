#pragma once
// A Video/Source node offering one format, BGRx at a fixed size and frame rate. The node drives its own
// graph: each sendFrame() hands one picture to the consumers, so the caller's timer sets the pace.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pipewire/pipewire_context.hpp"
#include "platform/runtime/bytes.hpp"

struct pw_stream;

namespace tavlo {

class PipeWireVideoSource {
 public:
  // true when a consumer starts streaming from the node, false when the last one stops (loop thread).
  using StateChange = std::function<void(bool streaming)>;

  struct Format {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t framesPerSecond = 0;
  };

  // `properties` add to media.class Video/Source. nullptr and `error` on failure.
  static std::unique_ptr<PipeWireVideoSource> create(PipeWireContext& context, const NodeProperties& properties,
                                                     Format format, StateChange stateChange, std::string& error);
  ~PipeWireVideoSource();
  PipeWireVideoSource(const PipeWireVideoSource&) = delete;
  PipeWireVideoSource& operator=(const PipeWireVideoSource&) = delete;

  // From any thread: one picture of the format's size, 4 bytes a pixel, rows `bytesPerRow` apart.
  // False when nobody streams, no buffer is free, or `frame` is too short for the picture.
  bool sendFrame(ByteView frame, size_t bytesPerRow);
  // The node's id in the graph, once the server has registered it (until then SPA_ID_INVALID).
  uint32_t nodeId() const;

 // The C callbacks' state (defined in the .cpp).
  struct Events;

 private:
  explicit PipeWireVideoSource(PipeWireContext& context);

  PipeWireContext& context_;
  pw_stream* stream_ = nullptr;
  std::unique_ptr<Events> events_;
};

}  // namespace tavlo
