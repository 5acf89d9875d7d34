#include "platform/audio/synthetic_system_audio.hpp"

#include <cmath>
#include <cstring>
#include <numbers>

namespace tavlo {
namespace {

constexpr double kSampleRate = 48000;

void appendFloat(Bytes& out, float value) {
  uint8_t bytes[sizeof(float)];
  std::memcpy(bytes, &value, sizeof(float));
  out.insert(out.end(), bytes, bytes + sizeof(float));
}

}  // namespace

SyntheticSystemAudio::SyntheticSystemAudio(Options options) : options_(std::move(options)) {}

std::optional<std::string> SyntheticSystemAudio::start(BlockHandler onBlock) {
  if (options_.unavailable) return options_.unavailable;
  std::lock_guard guard(mutex_);
  handler_ = std::move(onBlock);
  running_ = true;
  ++startCount_;
  return std::nullopt;
}

void SyntheticSystemAudio::stop() {
  std::lock_guard guard(mutex_);
  handler_ = nullptr;
  running_ = false;
}

bool SyntheticSystemAudio::isRunning() const {
  std::lock_guard guard(mutex_);
  return running_;
}

int SyntheticSystemAudio::startCount() const {
  std::lock_guard guard(mutex_);
  return startCount_;
}

int SyntheticSystemAudio::deliverBlocks(int count) {
  int delivered = 0;
  for (int i = 0; i < count; ++i) {
    BlockHandler handler;
    {
      std::lock_guard guard(mutex_);
      if (!running_) break;
      handler = handler_;
    }
    handler(nextBlock());
    ++delivered;
  }
  return delivered;
}

AudioSampleBuffer SyntheticSystemAudio::nextBlock() {
  int64_t first;
  {
    std::lock_guard guard(mutex_);
    first = framesMade_;
    framesMade_ += options_.framesPerBlock;
  }
  const uint32_t channels = options_.channels == 0 ? 1 : options_.channels;
  std::vector<float> samples;
  samples.reserve(static_cast<size_t>(options_.framesPerBlock) * channels);
  for (int64_t frame = 0; frame < options_.framesPerBlock; ++frame) {
    const double phase = 2 * std::numbers::pi * options_.toneHz * static_cast<double>(first + frame) / kSampleRate;
    for (uint32_t channel = 0; channel < channels; ++channel) {
      // Each channel a little quieter than the one before, so that a swap of channels shows.
      samples.push_back(options_.amplitude * static_cast<float>(std::sin(phase)) / static_cast<float>(channel + 1));
    }
  }
  return floatBlock(samples, channels, options_.planar);
}

AudioSampleBuffer SyntheticSystemAudio::floatBlock(const std::vector<float>& interleaved, uint32_t channels,
                                                   bool planar) {
  const uint32_t step = channels == 0 ? 1 : channels;
  AudioSampleBuffer block;
  block.frameCount = static_cast<int64_t>(interleaved.size() / step);
  if (planar) {
    block.format = floatPlanarDescription(channels);
    for (uint32_t channel = 0; channel < step; ++channel) {
      AudioBufferData buffer;
      buffer.numberChannels = 1;
      for (int64_t frame = 0; frame < block.frameCount; ++frame) {
        appendFloat(buffer.data, interleaved[static_cast<size_t>(frame) * step + channel]);
      }
      block.buffers.push_back(std::move(buffer));
    }
  } else {
    block.format = floatInterleavedDescription(channels);
    AudioBufferData buffer;
    buffer.numberChannels = channels;
    for (float sample : interleaved) appendFloat(buffer.data, sample);
    block.buffers.push_back(std::move(buffer));
  }
  return block;
}

AudioSampleBuffer SyntheticSystemAudio::int16Block(const std::vector<int16_t>& interleaved, uint32_t channels) {
  AudioSampleBuffer block;
  AudioStreamDescription format;
  format.sampleRate = kSampleRate;
  format.formatFlags = 0;
  format.bytesPerFrame = 2 * channels;
  format.channelsPerFrame = channels;
  format.bitsPerChannel = 16;
  block.format = format;
  block.frameCount = channels == 0 ? 0 : static_cast<int64_t>(interleaved.size() / channels);
  AudioBufferData buffer;
  buffer.numberChannels = channels;
  for (int16_t sample : interleaved) {
    const auto bits = static_cast<uint16_t>(sample);
    buffer.data.push_back(static_cast<uint8_t>(bits & 0xFF));
    buffer.data.push_back(static_cast<uint8_t>(bits >> 8));
  }
  block.buffers.push_back(std::move(buffer));
  return block;
}

}  // namespace tavlo
