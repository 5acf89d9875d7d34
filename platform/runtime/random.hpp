#pragma once
// Random bytes: the operating system's CSPRNG in the product, a seeded generator in tests.
#include <cstdint>
#include <span>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

class Random {
 public:
  virtual ~Random() = default;
  virtual void fill(std::span<uint8_t> out) = 0;

  Bytes bytes(size_t count);
  uint64_t nextU64();
  // Uniform in [0, bound); 0 when bound is 0.
  uint64_t below(uint64_t bound);
  // Uniform in [0, 1).
  double unit();
};

// getrandom(2); never fails short of the kernel failing, which aborts.
class SystemRandom final : public Random {
 public:
  static SystemRandom& shared();
  void fill(std::span<uint8_t> out) override;
};

// Deterministic (xoshiro256** seeded through splitmix64): the same seed gives the same bytes.
class SeededRandom final : public Random {
 public:
  explicit SeededRandom(uint64_t seed);
  void fill(std::span<uint8_t> out) override;
  uint64_t next();

 private:
  uint64_t state_[4];
};

}  // namespace tavlo
