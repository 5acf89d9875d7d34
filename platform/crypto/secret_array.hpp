#pragma once
// Fixed-size secret bytes (session keys, shared secrets, private seeds) that are wiped when they go.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

// Overwrites `size` bytes at `data` in a way the compiler may not remove.
void secureZero(void* data, size_t size);

template <size_t N>
class SecretArray {
 public:
  static constexpr size_t size = N;

  SecretArray() : bytes_{} {}
  explicit SecretArray(const std::array<uint8_t, N>& bytes) : bytes_(bytes) {}
  // nullopt unless `bytes` holds exactly N bytes.
  static std::optional<SecretArray> fromBytes(ByteView bytes) {
    if (bytes.size() != N) return std::nullopt;
    SecretArray secret;
    std::copy(bytes.begin(), bytes.end(), secret.bytes_.begin());
    return secret;
  }

  SecretArray(const SecretArray&) = default;
  SecretArray& operator=(const SecretArray&) = default;
  ~SecretArray() { secureZero(bytes_.data(), N); }

  ByteView view() const { return ByteView(bytes_.data(), N); }
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* mutableData() { return bytes_.data(); }

  // Not constant-time: for tests and for comparisons that reveal nothing secret.
  friend bool operator==(const SecretArray& a, const SecretArray& b) { return a.bytes_ == b.bytes_; }

 private:
  std::array<uint8_t, N> bytes_;
};

// A 256-bit key of the symmetric cipher.
using SymmetricKey = SecretArray<32>;

}  // namespace tavlo::crypto
