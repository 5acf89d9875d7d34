#include "devices/mic-plugin/mic_ring_reader.hpp"

#include <algorithm>

#include "devices/shared/mic_ring.hpp"

namespace tavlo {

MicRingReader::MicRingReader(std::string name) : name_(std::move(name)) {}

bool MicRingReader::ensureMapped() {
  if (memory_) return true;
  std::string error;
  auto memory = SharedMemory::openExisting(name_, micring::kTotalBytes, SharedMemory::Access::readOnly, error);
  if (!memory || !micring::RingView(memory->bytes()).valid()) return false;
  memory_ = std::move(memory);
  samplesSinceCheck_ = 0;
  return true;
}

void MicRingReader::startIO() {
  if (ioCount_++ != 0) return;
  if (ensureMapped()) readPosition_ = micring::RingView(memory_->bytes()).writePosition();
}

void MicRingReader::stopIO() {
  if (ioCount_ > 0) --ioCount_;
}

void MicRingReader::read(std::span<float> out) {
  if (memory_) {
    samplesSinceCheck_ += out.size();
    if (samplesSinceCheck_ >= kReplacementCheckSamples) {
      samplesSinceCheck_ = 0;
      // A host that found another build's ring made a new one; the old mapping would stay silent.
      if (memory_->replaced()) memory_.reset();
    }
  }
  if (!ensureMapped()) {
    std::fill(out.begin(), out.end(), 0.0f);
    return;
  }
  micring::RingView ring(memory_->bytes());
  const uint64_t written = ring.writePosition();
  if (written < readPosition_) {
    // The writer started over (a fresh ring): waiting for it to pass the old position could take hours.
    readPosition_ = written;
  } else if (written - readPosition_ > micring::kCapacity) {
    readPosition_ = written >= kCatchUpLagSamples ? written - kCatchUpLagSamples : 0;
  }
  for (float& sample : out) {
    if (readPosition_ < written) {
      sample = ring.sample(readPosition_++);
    } else {
      sample = 0.0f;
    }
  }
}

}  // namespace tavlo
