#pragma once
// One block of audio as a system source hands it over: a stream description, a frame count and one or
// more buffers of bytes. The description, not the buffers, says how to read them: float or integer
// samples, interleaved in one buffer or planar (one buffer per channel). Nothing guarantees that the
// buffers really hold frameCount frames in that layout: readers check the sizes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

// Bits of AudioStreamDescription::formatFlags.
inline constexpr uint32_t kAudioFlagFloat = 1u << 0;           // samples are IEEE floats
inline constexpr uint32_t kAudioFlagNonInterleaved = 1u << 5;  // planar: one buffer per channel

struct AudioStreamDescription {
  double sampleRate = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;

  bool isFloat() const { return (formatFlags & kAudioFlagFloat) != 0; }
  bool isPlanar() const { return (formatFlags & kAudioFlagNonInterleaved) != 0; }
  friend bool operator==(const AudioStreamDescription&, const AudioStreamDescription&) = default;
};

struct AudioBufferData {
  uint32_t numberChannels = 0;  // channels interleaved in this buffer
  Bytes data;                   // empty: the buffer has no data
};

struct AudioSampleBuffer {
  std::optional<AudioStreamDescription> format;  // absent: the block came without a format description
  int64_t frameCount = 0;
  std::vector<AudioBufferData> buffers;
  // Set when the source could not provide the buffers of this block (their description then says why);
  // `buffers` is empty.
  std::optional<std::string> bufferListError;
};

// The form the system sources produce: 32-bit float at 48 kHz, `channels` interleaved in one buffer.
AudioStreamDescription floatInterleavedDescription(uint32_t channels, double sampleRate = 48000);
// The same, planar: one buffer per channel.
AudioStreamDescription floatPlanarDescription(uint32_t channels, double sampleRate = 48000);

}  // namespace tavlo
