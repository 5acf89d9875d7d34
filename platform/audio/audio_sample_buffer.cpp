#include "platform/audio/audio_sample_buffer.hpp"

namespace tavlo {

AudioStreamDescription floatInterleavedDescription(uint32_t channels, double sampleRate) {
  AudioStreamDescription description;
  description.sampleRate = sampleRate;
  description.formatFlags = kAudioFlagFloat;
  description.bytesPerFrame = 4 * channels;
  description.channelsPerFrame = channels;
  description.bitsPerChannel = 32;
  return description;
}

AudioStreamDescription floatPlanarDescription(uint32_t channels, double sampleRate) {
  AudioStreamDescription description;
  description.sampleRate = sampleRate;
  description.formatFlags = kAudioFlagFloat | kAudioFlagNonInterleaved;
  description.bytesPerFrame = 4;
  description.channelsPerFrame = channels;
  description.bitsPerChannel = 32;
  return description;
}

}  // namespace tavlo
