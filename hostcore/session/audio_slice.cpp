#include "hostcore/session/audio_slice.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vela {

namespace {

static_assert(std::endian::native == std::endian::little, "the slice's samples are read in native order");

int16_t sampleAt(const uint8_t* bytes, size_t index) {
  int16_t value;
  std::memcpy(&value, bytes + index * sizeof(int16_t), sizeof(int16_t));
  return value;
}

void storeSample(uint8_t* bytes, size_t index, int16_t value) {
  std::memcpy(bytes + index * sizeof(int16_t), &value, sizeof(int16_t));
}

}  // namespace

bool isSilentAudio(tavlo::ByteView slice) {
  const size_t samples = slice.size() / sizeof(int16_t);
  int32_t loudest = 0;
  for (size_t i = 0; i < samples; ++i) {
    // In 32 bits the magnitude of -32,768 is 32,768, not an overflow.
    loudest = std::max(loudest, std::abs(int32_t{sampleAt(slice.data(), i)}));
  }
  return loudest < AudioSlice::silenceThreshold;
}

tavlo::Bytes degradeAudio(tavlo::ByteView slice, int64_t mode) {
  const int32_t f = mode <= 1 ? 1 : mode == 2 ? 2 : 3;
  const size_t frames = slice.size() / AudioSlice::frameBytes;
  const size_t groups = frames / static_cast<size_t>(f);
  tavlo::Bytes out;
  out.reserve(groups * sizeof(int16_t) + 2);
  out.resize(groups * sizeof(int16_t));
  for (size_t g = 0; g < groups; ++g) {
    int32_t sum = 0;
    for (int32_t k = 0; k < f; ++k) {
      const size_t frame = g * static_cast<size_t>(f) + static_cast<size_t>(k);
      sum += (int32_t{sampleAt(slice.data(), 2 * frame)} + int32_t{sampleAt(slice.data(), 2 * frame + 1)}) / 2;
    }
    storeSample(out.data(), g, static_cast<int16_t>(std::clamp(sum / f, -32768, 32767)));
  }
  return out;
}

tavlo::Bytes monoToStereo(tavlo::ByteView mono) {
  const size_t samples = mono.size() / sizeof(int16_t);
  tavlo::Bytes out(samples * AudioSlice::frameBytes);
  for (size_t i = 0; i < samples; ++i) {
    const int16_t value = sampleAt(mono.data(), i);
    storeSample(out.data(), 2 * i, value);
    storeSample(out.data(), 2 * i + 1, value);
  }
  return out;
}

}  // namespace vela
