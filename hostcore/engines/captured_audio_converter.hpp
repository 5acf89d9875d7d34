#pragma once
// Turns one block of captured system audio into the session's audio form: interleaved signed 16-bit
// little-endian stereo, left before right, 4 bytes per frame. Takes 32-bit float input, interleaved or
// planar, with any channel count (mono is duplicated, channels past the second dropped); every other
// input yields nothing.
//
// The state (a scratch buffer that only grows, and whether a failure was logged) belongs to one capture
// engine and is used on its audio queue only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_sample_buffer.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

class CapturedAudioConverter {
 public:
  struct Result {
    std::optional<tavlo::Bytes> block;   // frames × 4 bytes, or nothing
    std::optional<std::string> logLine;  // the first failure of the engine's life, to be logged once
  };

  Result convertAudioToInt16(const tavlo::AudioSampleBuffer& buffer);

  bool loggedAudioNil() const { return loggedAudioNil_; }
  size_t scratchSize() const { return audioScratch_.size(); }

 private:
  std::optional<std::string> failOnce(std::string line);

  std::vector<float> audioScratch_;
  bool loggedAudioNil_ = false;
};

}  // namespace vela
