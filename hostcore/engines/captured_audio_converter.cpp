#include "hostcore/engines/captured_audio_converter.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vela {
namespace {

constexpr float kFullScale = 32767.0f;
constexpr float kLowest = -32768.0f;
constexpr float kHighest = 32767.0f;
constexpr size_t kOutputBytesPerFrame = 4;  // two 16-bit samples

// Where one output channel reads from: a buffer, the first float, and the distance between floats.
struct ChannelSource {
  const tavlo::Bytes* data = nullptr;
  uint64_t first = 0;
  uint64_t stride = 0;
};

// Whether `frames` floats starting at `first`, `stride` apart, lie inside the buffer.
bool fits(const ChannelSource& source, uint64_t frames) {
  const uint64_t available = source.data->size() / sizeof(float);
  if (source.first >= available) return false;
  return (frames - 1) <= (available - 1 - source.first) / source.stride;
}

const char* boolText(bool value) { return value ? "true" : "false"; }

}  // namespace

std::optional<std::string> CapturedAudioConverter::failOnce(std::string line) {
  if (loggedAudioNil_) return std::nullopt;
  loggedAudioNil_ = true;
  return line;
}

CapturedAudioConverter::Result CapturedAudioConverter::convertAudioToInt16(const tavlo::AudioSampleBuffer& buffer) {
  Result result;
  if (!buffer.format) {
    result.logLine = failOnce("🔊 nil: brak format description");
    return result;
  }
  if (buffer.frameCount < 1) return result;
  const auto frames = static_cast<uint64_t>(buffer.frameCount);
  const bool isFloat = buffer.format->isFloat();
  const bool planar = buffer.format->isPlanar();
  const uint64_t channels = buffer.format->channelsPerFrame;

  if (buffer.bufferListError) {
    result.logLine = failOnce("🔊 nil: withAudioBufferList " + *buffer.bufferListError);
    return result;
  }

  // Choose the sources. The buffers are read only within their sizes: a block whose buffers are shorter
  // than its frame count says, or a planar description with one buffer for several channels (its one
  // buffer holds a single channel, not channels × frames floats), converts nothing.
  std::optional<std::pair<ChannelSource, ChannelSource>> sources;
  const auto& buffers = buffer.buffers;
  if (isFloat) {
    if (planar && buffers.size() >= 2 && !buffers[0].data.empty() && !buffers[1].data.empty()) {
      sources.emplace(ChannelSource{&buffers[0].data, 0, 1}, ChannelSource{&buffers[1].data, 0, 1});
    } else if (!buffers.empty() && !buffers[0].data.empty() && !(planar && channels > 1)) {
      if (channels > 1) {
        sources.emplace(ChannelSource{&buffers[0].data, 0, channels}, ChannelSource{&buffers[0].data, 1, channels});
      } else {
        // A description of 0 channels is read as mono too, so that the frame count stays bounded by
        // the buffer's size.
        ChannelSource mono{&buffers[0].data, 0, std::max<uint64_t>(channels, 1)};
        sources.emplace(mono, mono);
      }
    }
    if (sources && !(fits(sources->first, frames) && fits(sources->second, frames))) sources.reset();
  }
  if (!sources) {
    result.logLine =
        failOnce(std::string("🔊 format nieobsłużony float=") + boolText(isFloat) + " planar=" + boolText(planar));
    return result;
  }

  if (audioScratch_.size() < frames) audioScratch_.assign(frames, 0.0f);
  tavlo::Bytes block(frames * kOutputBytesPerFrame, 0);
  const ChannelSource* channelSources[2] = {&sources->first, &sources->second};
  for (size_t slot = 0; slot < 2; ++slot) {
    const ChannelSource& source = *channelSources[slot];
    const uint8_t* base = source.data->data();
    for (uint64_t i = 0; i < frames; ++i) {
      float sample;
      std::memcpy(&sample, base + (source.first + i * source.stride) * sizeof(float), sizeof(float));
      audioScratch_[i] = std::clamp(sample * kFullScale, kLowest, kHighest);
    }
    uint8_t* out = block.data() + slot * 2;
    for (uint64_t i = 0; i < frames; ++i) {
      // NaN survives the clamp; it becomes silence rather than reaching an undefined conversion.
      const float scaled = audioScratch_[i];
      const auto value = std::isnan(scaled) ? int16_t{0} : static_cast<int16_t>(std::nearbyint(scaled));
      const auto bits = static_cast<uint16_t>(value);
      out[i * kOutputBytesPerFrame] = static_cast<uint8_t>(bits & 0xFF);
      out[i * kOutputBytesPerFrame + 1] = static_cast<uint8_t>(bits >> 8);
    }
  }
  result.block = std::move(block);
  return result;
}

}  // namespace vela
