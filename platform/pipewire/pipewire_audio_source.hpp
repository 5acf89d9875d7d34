#pragma once
// An Audio/Source node of 32-bit float mono samples: the graph asks for samples whenever a consumer
// records from it, and `fill` provides them. Callbacks run on the context's loop thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/pipewire/pipewire_context.hpp"

struct pw_stream;

namespace tavlo {

class PipeWireAudioSource {
 public:
  using Fill = std::function<void(std::span<float> samples)>;
  // true when a consumer starts streaming from the node, false when the last one stops.
  using StateChange = std::function<void(bool streaming)>;

  // `properties` add to media.class Audio/Source. nullptr and `error` on failure.
  static std::unique_ptr<PipeWireAudioSource> create(PipeWireContext& context, const NodeProperties& properties,
                                                     uint32_t sampleRate, Fill fill, StateChange stateChange,
                                                     std::string& error);
  ~PipeWireAudioSource();
  PipeWireAudioSource(const PipeWireAudioSource&) = delete;
  PipeWireAudioSource& operator=(const PipeWireAudioSource&) = delete;

 // The C callbacks' state (defined in the .cpp).
  struct Events;

 private:
  explicit PipeWireAudioSource(PipeWireContext& context);

  PipeWireContext& context_;
  pw_stream* stream_ = nullptr;
  std::unique_ptr<Events> events_;
};

}  // namespace tavlo
