#include "platform/crypto/hmac_sha256.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include "platform/crypto/openssl_handles.hpp"

namespace tavlo::crypto {

std::optional<HmacSha256Tag> hmacSha256(ByteView key, ByteView message) {
  EVP_MAC* mac = hmacAlgorithm();
  if (!mac) return std::nullopt;
  EvpMacCtx ctx(EVP_MAC_CTX_new(mac));
  if (!ctx) return std::nullopt;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
  // OpenSSL refuses an empty key; HMAC pads every key to the block size with zeros, so one zero byte
  // is the same key as none.
  static const uint8_t zero = 0;
  ByteView keyBytes = key.empty() ? ByteView(&zero, 1) : key;
  if (EVP_MAC_init(ctx.get(), keyBytes.data(), keyBytes.size(), params) != 1) return std::nullopt;
  if (EVP_MAC_update(ctx.get(), message.data(), message.size()) != 1) return std::nullopt;
  HmacSha256Tag tag;
  size_t length = 0;
  if (EVP_MAC_final(ctx.get(), tag.data(), &length, tag.size()) != 1 || length != tag.size()) return std::nullopt;
  return tag;
}

bool isValidHmacSha256(ByteView tag, ByteView key, ByteView message) {
  if (tag.size() != HmacSha256Tag{}.size()) return false;
  auto expected = hmacSha256(key, message);
  return expected && constantTimeEqual(tag, *expected);
}

bool constantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tavlo::crypto
