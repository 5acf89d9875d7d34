#pragma once
// Plays the microphone ring (devices/shared/mic_ring.hpp) into the "Tavlo Mic" source: only reads it,
// never creates, resizes or writes it. Silence while there is no valid ring, on underrun, and while the
// writer is behind the read position.
//
// The reader survives the writer and the writer survives the reader: a write position below the read
// position is a writer that started over, and reading follows it at once; a ring replaced under the
// same name is mapped again; a ring with another build's header is never read.
//
// Not thread-safe: the daemon's loop thread makes every call.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "devices/shared/mic_ring.hpp"
#include "platform/runtime/shared_memory.hpp"

namespace tavlo {

class MicRingReader {
 public:
  // How far behind the writer playback resumes after falling more than a whole ring behind (100 ms).
  static constexpr uint64_t kCatchUpLagSamples = 4800;
  // How many samples pass between checks that the ring was not replaced (0.5 s).
  static constexpr uint64_t kReplacementCheckSamples = 24000;

  explicit MicRingReader(std::string name = micring::defaultPath());

  // A consumer starts recording: the first start reads on from the newest sample, with no backlog.
  void startIO();
  void stopIO();
  // Fills `out` with the next samples (zeros where there are none).
  void read(std::span<float> out);

  bool mapped() const { return memory_ != nullptr; }
  uint64_t readPosition() const { return readPosition_; }
  uint32_t ioCount() const { return ioCount_; }

 private:
  bool ensureMapped();

  const std::string name_;
  std::unique_ptr<SharedMemory> memory_;
  uint64_t readPosition_ = 0;
  uint32_t ioCount_ = 0;
  uint64_t samplesSinceCheck_ = 0;
};

}  // namespace tavlo
