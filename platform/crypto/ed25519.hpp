#pragma once
// Ed25519 signatures (RFC 8032, pure). A private key is stored as its 32-byte seed.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

using Ed25519PublicKey = std::array<uint8_t, 32>;
using Ed25519Signature = std::array<uint8_t, 64>;
using Ed25519Seed = SecretArray<32>;

class Ed25519PrivateKey {
 public:
  // A fresh key from the secure random source; nullopt only when the library fails.
  static std::optional<Ed25519PrivateKey> generate();
  // The key with this 32-byte seed (every seed is a valid key); nullopt for any other length.
  static std::optional<Ed25519PrivateKey> fromSeed(ByteView seed);

  // The raw private key, for storage.
  const Ed25519Seed& seed() const;
  const Ed25519PublicKey& publicKey() const { return publicKey_; }

  // The 64-byte signature of `message`; nullopt only when the library fails. Ed25519 is deterministic:
  // the same key and message always give the same signature.
  std::optional<Ed25519Signature> sign(ByteView message) const;

 private:
  struct Handle;
  Ed25519PrivateKey(std::shared_ptr<const Handle> handle, const Ed25519PublicKey& publicKey)
      : handle_(std::move(handle)), publicKey_(publicKey) {}

  std::shared_ptr<const Handle> handle_;  // immutable once made: copies share it
  Ed25519PublicKey publicKey_;
};

// Whether `signature` is a valid signature of `message` under the raw public key. False for a key or a
// signature of the wrong length, a key that is not a curve point, and a non-canonical signature.
bool isValidEd25519Signature(ByteView publicKey, ByteView message, ByteView signature);

}  // namespace tavlo::crypto
