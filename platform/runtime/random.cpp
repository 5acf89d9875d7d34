#include "platform/runtime/random.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavlo {

Bytes Random::bytes(size_t count) {
  Bytes out(count);
  fill(out);
  return out;
}

uint64_t Random::nextU64() {
  uint64_t value = 0;
  fill(std::span(reinterpret_cast<uint8_t*>(&value), sizeof value));
  return value;
}

uint64_t Random::below(uint64_t bound) {
  if (bound == 0) return 0;
  // Rejection sampling: no modulo bias.
  uint64_t limit = UINT64_MAX - (UINT64_MAX % bound);
  for (;;) {
    uint64_t value = nextU64();
    if (value < limit) return value % bound;
  }
}

double Random::unit() { return static_cast<double>(nextU64() >> 11) * 0x1.0p-53; }

SystemRandom& SystemRandom::shared() {
  static SystemRandom random;
  return random;
}

void SystemRandom::fill(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::abort();  // no entropy source: nothing secure can be done
    done += static_cast<size_t>(n);
  }
}

namespace {
uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}
uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
}  // namespace

SeededRandom::SeededRandom(uint64_t seed) {
  for (auto& word : state_) word = splitmix64(seed);
}

uint64_t SeededRandom::next() {
  uint64_t result = rotl(state_[1] * 5, 7) * 9;
  uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = rotl(state_[3], 45);
  return result;
}

void SeededRandom::fill(std::span<uint8_t> out) {
  size_t i = 0;
  while (i < out.size()) {
    uint64_t word = next();
    size_t n = std::min<size_t>(8, out.size() - i);
    std::memcpy(out.data() + i, &word, n);
    i += n;
  }
}

}  // namespace tavlo
