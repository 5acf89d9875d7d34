#include "platform/crypto/x25519.hpp"

#include "platform/crypto/openssl_handles.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace tavlo::crypto {

struct X25519PrivateKey::Handle {
  EvpPkey key;
};

std::optional<X25519PrivateKey> X25519PrivateKey::generate() {
  SecretArray<32> raw;
  fillRandom(std::span(raw.mutableData(), raw.size));
  return fromRaw(raw.view());
}

std::optional<X25519PrivateKey> X25519PrivateKey::fromRaw(ByteView raw) {
  if (raw.size() != 32) return std::nullopt;
  EvpPkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
  if (!key) return std::nullopt;
  X25519PublicKey publicKey;
  size_t length = publicKey.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length) != 1 || length != publicKey.size()) {
    return std::nullopt;
  }
  auto handle = std::make_shared<Handle>(Handle{std::move(key)});
  return X25519PrivateKey(std::move(handle), publicKey);
}

std::optional<X25519SharedSecret> X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
  if (peerPublicKey.size() != 32) return std::nullopt;
  EvpPkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(), peerPublicKey.size()));
  if (!peer) return std::nullopt;
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, handle_->key.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) return std::nullopt;
  if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) return std::nullopt;
  X25519SharedSecret secret;
  size_t length = secret.size;
  // OpenSSL fails the derivation itself when the result is all zeros.
  if (EVP_PKEY_derive(ctx.get(), secret.mutableData(), &length) != 1 || length != secret.size) return std::nullopt;
  static const X25519SharedSecret zeros;
  if (secret == zeros) return std::nullopt;  // kept even if a future library stops checking
  return secret;
}

}  // namespace tavlo::crypto
