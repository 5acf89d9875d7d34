#pragma once
// The system's audio made up in process: a tone of float samples at 48 kHz, interleaved or planar, with
// any channel count. Blocks are delivered on the thread that asks for them (deliverBlocks), so a test
// decides exactly when audio arrives. Also builds single blocks of any layout for tests that feed a
// consumer directly.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/system_audio_source.hpp"

namespace tavlo {

class SyntheticSystemAudio final : public SystemAudioSource {
 public:
  struct Options {
    uint32_t channels = 2;
    bool planar = false;
    int64_t framesPerBlock = 480;  // 10 ms
    double toneHz = 440;
    float amplitude = 0.25f;
    // When set, start() fails with this description (no audio server, no output).
    std::optional<std::string> unavailable;
  };

  SyntheticSystemAudio() : SyntheticSystemAudio(Options{}) {}
  explicit SyntheticSystemAudio(Options options);

  std::optional<std::string> start(BlockHandler onBlock) override;
  void stop() override;
  bool isRunning() const;
  int startCount() const;

  // Delivers `count` consecutive blocks of the tone to the running consumer, on this thread; returns how
  // many were delivered (0 when not running).
  int deliverBlocks(int count = 1);
  // The next block of the tone, without delivering it.
  AudioSampleBuffer nextBlock();

  // One float block from interleaved samples (frames = samples / channels); planar splits them into one
  // buffer per channel.
  static AudioSampleBuffer floatBlock(const std::vector<float>& interleaved, uint32_t channels, bool planar);
  // One block of interleaved signed 16-bit samples (a format the capture path does not take).
  static AudioSampleBuffer int16Block(const std::vector<int16_t>& interleaved, uint32_t channels);

 private:
  const Options options_;
  mutable std::mutex mutex_;
  BlockHandler handler_;
  bool running_ = false;
  int startCount_ = 0;
  int64_t framesMade_ = 0;
};

}  // namespace tavlo
