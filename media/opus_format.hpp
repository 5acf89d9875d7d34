#pragma once
// The PCM both Opus wrappers exchange: 48 kHz, signed 16-bit little-endian, interleaved.
#include <cstddef>

namespace vela {

struct OpusFormat {
  static constexpr int kSampleRate = 48'000;
  static constexpr size_t kBytesPerSample = 2;
  // One packet the encoder emits: 20 ms, 960 samples per channel.
  static constexpr int kFrameSamples = 960;
  // The longest packet the decoder takes: 40 ms.
  static constexpr int kMaxDecodedSamples = 1920;

  static constexpr size_t frameBytes(int channels) {
    return static_cast<size_t>(channels) * kFrameSamples * kBytesPerSample;
  }
};

}  // namespace vela
