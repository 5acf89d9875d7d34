#pragma once
// The 1 kHz test tone of the audio-server tests: played into a PipeWire stack's default sink with pacat,
// and recognised in what a consumer delivers back (blocks of interleaved 16-bit stereo).
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "tests/testkit/child_process.hpp"
#include "tests/testkit/pipewire_stack.hpp"

namespace tavlo::testkit {

inline constexpr double kToneHz = 1000;
inline constexpr int kToneSampleRate = 48000;
// 100 whole periods of the tone: over them its sine and cosine are orthogonal.
inline constexpr size_t kToneWindowFrames = 4800;
// A sample this loud (of 32767) means the tone has arrived.
inline constexpr int kToneSoundThreshold = 1000;

// Plays 30 s of the tone in stereo (16-bit, amplitude 8000) into the stack's default sink with pacat.
class TonePlayer {
 public:
  explicit TonePlayer(const PipeWireStack& stack) : file_(stack.directory() / "tone.raw") {
    std::ofstream out(file_, std::ios::binary);
    for (int i = 0; i < 30 * kToneSampleRate; ++i) {
      const auto value = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * kToneHz * i / kToneSampleRate));
      for (int channel = 0; channel < 2; ++channel) out.write(reinterpret_cast<const char*>(&value), sizeof(value));
    }
  }
  bool play(const PipeWireStack& stack) {
    player_.stop();
    return player_.start({"pacat", "--playback", "--format=s16le", "--rate=48000", "--channels=2", file_.string()},
                         stack.environment(), stack.directory() / "pacat.log");
  }

 private:
  std::filesystem::path file_;
  ChildProcess player_;
};

// The left channel of every block received, from whatever thread delivers them.
class ToneRecording {
 public:
  void add(ByteView block) {
    std::lock_guard guard(mutex_);
    for (size_t i = 0; i + 4 <= block.size(); i += 4) {
      left_.push_back(static_cast<int16_t>(static_cast<uint16_t>(block[i] | (block[i + 1] << 8))));
    }
  }
  // The windows of kToneWindowFrames that follow each other from the first loud sample on, less the
  // first `skip` of them.
  std::vector<std::vector<int16_t>> toneWindows(size_t skip) const {
    std::lock_guard guard(mutex_);
    std::vector<std::vector<int16_t>> windows;
    size_t at = 0;
    while (at < left_.size() && std::abs(left_[at]) < kToneSoundThreshold) ++at;
    for (at += skip * kToneWindowFrames; at + kToneWindowFrames <= left_.size(); at += kToneWindowFrames) {
      windows.emplace_back(left_.begin() + static_cast<std::ptrdiff_t>(at),
                           left_.begin() + static_cast<std::ptrdiff_t>(at + kToneWindowFrames));
    }
    return windows;
  }
  size_t size() const {
    std::lock_guard guard(mutex_);
    return left_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int16_t> left_;
};

// How well the samples match a 1 kHz sine of any phase: the share of their energy that the best-fitting
// sine carries, as a correlation (1 for a pure tone).
inline double toneCorrelation(const std::vector<int16_t>& samples) {
  double sine = 0, cosine = 0, energy = 0;
  for (size_t n = 0; n < samples.size(); ++n) {
    const double phase = 2 * std::numbers::pi * kToneHz * static_cast<double>(n) / kToneSampleRate;
    sine += samples[n] * std::sin(phase);
    cosine += samples[n] * std::cos(phase);
    energy += static_cast<double>(samples[n]) * samples[n];
  }
  if (energy == 0) return 0;
  return std::sqrt((sine * sine + cosine * cosine) / (energy * static_cast<double>(samples.size()) / 2));
}

// Polls the recording (after `poll`, which may feed it) until a window of it correlates with the tone
// above 0.9, or the time is up; returns the best correlation seen. A window that holds the onset, or a
// dropout of a loaded machine, correlates less: the best window counts.
inline double bestToneCorrelation(const ToneRecording& recording, std::chrono::milliseconds timeout,
                                  const std::function<void()>& poll = {}) {
  double best = 0;
  size_t evaluated = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (poll) poll();
    for (const auto& window : recording.toneWindows(evaluated)) {
      best = std::max(best, toneCorrelation(window));
      ++evaluated;
    }
    if (best > 0.9 || std::chrono::steady_clock::now() >= deadline) return best;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace tavlo::testkit
