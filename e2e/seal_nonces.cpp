#include "e2e/seal_nonces.hpp"

#include <cstring>

#include "platform/crypto/random_bytes.hpp"

namespace vela {

namespace {

uint32_t loadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t loadLe64(const uint8_t* p) { return uint64_t(loadLe32(p)) | uint64_t(loadLe32(p + 4)) << 32; }

}  // namespace

SealNonces::SealNonces() {
  uint8_t prefix[prefixSize];
  tavlo::crypto::fillRandom(prefix);
  prefix_ = loadLe32(prefix);
}

E2EEnvelope::Nonce SealNonces::next() {
  const uint64_t counter = issued_.fetch_add(1, std::memory_order_relaxed);
  E2EEnvelope::Nonce nonce;
  for (size_t i = 0; i < prefixSize; ++i) nonce[i] = static_cast<uint8_t>(prefix_ >> (8 * i));
  for (size_t i = 0; i < 8; ++i) nonce[prefixSize + i] = static_cast<uint8_t>(counter >> (8 * i));
  return nonce;
}

bool SealNonces::isOwn(ByteView nonce) const {
  if (nonce.size() != E2EEnvelope::nonceSize || loadLe32(nonce.data()) != prefix_) return false;
  return loadLe64(nonce.data() + prefixSize) < issued_.load(std::memory_order_relaxed);
}

}  // namespace vela
