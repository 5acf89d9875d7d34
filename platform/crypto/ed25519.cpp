#include "platform/crypto/ed25519.hpp"

#include "platform/crypto/openssl_handles.hpp"
#include "platform/crypto/random_bytes.hpp"

namespace tavlo::crypto {

struct Ed25519PrivateKey::Handle {
  EvpPkey key;
  Ed25519Seed seed;
};

const Ed25519Seed& Ed25519PrivateKey::seed() const { return handle_->seed; }

std::optional<Ed25519PrivateKey> Ed25519PrivateKey::generate() {
  Ed25519Seed seed;
  fillRandom(std::span(seed.mutableData(), seed.size));
  return fromSeed(seed.view());
}

std::optional<Ed25519PrivateKey> Ed25519PrivateKey::fromSeed(ByteView seed) {
  auto stored = Ed25519Seed::fromBytes(seed);
  if (!stored) return std::nullopt;
  EvpPkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  if (!key) return std::nullopt;
  Ed25519PublicKey publicKey;
  size_t length = publicKey.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length) != 1 || length != publicKey.size()) {
    return std::nullopt;
  }
  auto handle = std::make_shared<Handle>(Handle{std::move(key), *stored});
  return Ed25519PrivateKey(std::move(handle), publicKey);
}

std::optional<Ed25519Signature> Ed25519PrivateKey::sign(ByteView message) const {
  EvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return std::nullopt;
  // Pure Ed25519 hashes inside the algorithm: no digest is named, and the message goes in one piece.
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, handle_->key.get(), nullptr) != 1) {
    return std::nullopt;
  }
  Ed25519Signature signature;
  size_t length = signature.size();
  if (EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1 ||
      length != signature.size()) {
    return std::nullopt;
  }
  return signature;
}

bool isValidEd25519Signature(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != 32 || signature.size() != 64) return false;
  EvpPkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  if (!key) return false;
  EvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

}  // namespace tavlo::crypto
