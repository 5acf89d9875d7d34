#include "hostcore/engines/tap_audio_conversion.hpp"

#include <cstring>

#include "hostcore/engines/pcm16_sample.hpp"

namespace vela {
namespace {

// What a NaN sample becomes: the top of the range, as the clamp of the tap's conversion leaves it.
constexpr int16_t kNanSample = 32767;

float floatAt(const uint8_t* data, uint64_t index) {
  float sample;
  std::memcpy(&sample, data + index * sizeof(float), sizeof(float));
  return sample;
}

int16_t convertSample(float sample) {
  return pcm16FromScaled(scaleToPcm16Range(sample), Pcm16Rounding::towardZero, kNanSample);
}

}  // namespace

std::optional<tavlo::Bytes> convertTapInput(const tavlo::AudioSampleBuffer& input) {
  if (input.buffers.empty()) return std::nullopt;
  // A source whose cycle says integer samples would otherwise be read as floats and sent as noise.
  if (input.format && !input.format->isFloat()) return std::nullopt;
  const tavlo::AudioBufferData& first = input.buffers.front();
  if (first.data.size() < sizeof(float)) return std::nullopt;

  const uint64_t samples = first.data.size() / sizeof(float);
  const bool stereo = first.numberChannels > 1;
  const uint64_t channels = stereo ? first.numberChannels : 1;
  const uint64_t frames = samples / channels;  // whole frames only: index i × C + 1 stays below samples

  tavlo::Bytes block(frames * kPcm16StereoFrameBytes, 0);
  const uint8_t* data = first.data.data();
  uint8_t* out = block.data();
  for (uint64_t i = 0; i < frames; ++i) {
    const int16_t left = convertSample(floatAt(data, i * channels));
    const int16_t right = stereo ? convertSample(floatAt(data, i * channels + 1)) : left;
    storePcm16(out + i * kPcm16StereoFrameBytes, left);
    storePcm16(out + i * kPcm16StereoFrameBytes + 2, right);
  }
  return block;
}

}  // namespace vela
