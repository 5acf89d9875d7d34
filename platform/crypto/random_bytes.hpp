#pragma once
// The cryptographically secure random source: nonces, ephemeral keys, new identities.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tavlo::crypto {

// Fills `out` from OpenSSL's DRBG; should that ever fail, from the kernel (getrandom), which aborts
// rather than hand out predictable bytes.
void fillRandom(std::span<uint8_t> out);

template <size_t N>
std::array<uint8_t, N> randomArray() {
  std::array<uint8_t, N> out;
  fillRandom(out);
  return out;
}

}  // namespace tavlo::crypto
