#include "platform/crypto/hkdf_sha256.hpp"

#include <openssl/core_names.h>

#include <vector>

#include "platform/crypto/openssl_handles.hpp"

namespace tavlo::crypto {

namespace {
OSSL_PARAM octets(const char* name, ByteView bytes) {
  // OpenSSL only reads these; its parameter type is not const.
  return OSSL_PARAM_construct_octet_string(name, const_cast<uint8_t*>(bytes.data()), bytes.size());
}
}  // namespace

std::optional<Bytes> hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, size_t outputLength) {
  if (outputLength > hkdfSha256MaxOutput) return std::nullopt;
  if (outputLength == 0) return Bytes{};
  EVP_KDF* kdf = hkdfAlgorithm();
  if (!kdf) return std::nullopt;
  EvpKdfCtx ctx(EVP_KDF_CTX_new(kdf));
  if (!ctx) return std::nullopt;

  char digest[] = "SHA256";
  std::vector<OSSL_PARAM> params;
  params.push_back(OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0));
  // OpenSSL refuses an empty key; HMAC pads any key to the block size with zeros, so a single zero
  // byte is the same key as none.
  static const uint8_t zero = 0;
  params.push_back(octets(OSSL_KDF_PARAM_KEY, inputKeyMaterial.empty() ? ByteView(&zero, 1) : inputKeyMaterial));
  // An absent salt is the RFC's default (a block of zeros), the same as an empty one.
  if (!salt.empty()) params.push_back(octets(OSSL_KDF_PARAM_SALT, salt));
  if (!info.empty()) params.push_back(octets(OSSL_KDF_PARAM_INFO, info));
  params.push_back(OSSL_PARAM_construct_end());

  Bytes out(outputLength);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params.data()) != 1) return std::nullopt;
  return out;
}

}  // namespace tavlo::crypto
