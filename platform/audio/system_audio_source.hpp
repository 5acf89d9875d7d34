#pragma once
// The audio the system plays, as it leaves the default output: the audio side of a capture stream and
// the system-audio tap take it from here. Blocks are float at 48 kHz (the description of each block says
// its layout); a real source delivers them on a thread of its own, one block at a time, in order.
#include <functional>
#include <optional>
#include <string>

#include "platform/audio/audio_sample_buffer.hpp"

namespace tavlo {

class SystemAudioSource {
 public:
  using BlockHandler = std::function<void(const AudioSampleBuffer& block)>;

  virtual ~SystemAudioSource() = default;

  // Starts delivering blocks to `onBlock`. Returns nullopt once the source runs, or why it cannot
  // (no audio server, no output to listen to). A source runs for one consumer at a time: a start while
  // running replaces the handler.
  virtual std::optional<std::string> start(BlockHandler onBlock) = 0;
  // Stops delivering; after it returns no new block starts (one being delivered may finish).
  // Idempotent; also fine on a source that never started.
  virtual void stop() = 0;
};

}  // namespace tavlo
