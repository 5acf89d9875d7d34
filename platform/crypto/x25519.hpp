#pragma once
// X25519 key agreement over raw 32-byte keys.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

using X25519PublicKey = std::array<uint8_t, 32>;
using X25519SharedSecret = SecretArray<32>;

class X25519PrivateKey {
 public:
  // A fresh key from the secure random source; nullopt only when the library fails.
  static std::optional<X25519PrivateKey> generate();
  // The key whose raw (RFC 7748) form is `raw`; nullopt unless `raw` has 32 bytes.
  static std::optional<X25519PrivateKey> fromRaw(ByteView raw);

  const X25519PublicKey& publicKey() const { return publicKey_; }

  // The shared secret with the peer's raw public key. nullopt when the peer key is not 32 bytes or
  // the agreement fails, which includes a low-order peer key that makes the secret all zeros: such a
  // secret would be known to anyone, so no key may be derived from it.
  std::optional<X25519SharedSecret> sharedSecret(ByteView peerPublicKey) const;

 private:
  struct Handle;
  X25519PrivateKey(std::shared_ptr<const Handle> handle, const X25519PublicKey& publicKey)
      : handle_(std::move(handle)), publicKey_(publicKey) {}

  std::shared_ptr<const Handle> handle_;  // immutable once made: copies share it
  X25519PublicKey publicKey_;
};

}  // namespace tavlo::crypto
