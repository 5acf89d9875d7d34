#include "platform/crypto/sha256.hpp"

#include "platform/crypto/openssl_handles.hpp"

namespace tavlo::crypto {

std::optional<Sha256Digest> sha256(ByteView data) {
  const EVP_MD* md = sha256Algorithm();
  if (!md) return std::nullopt;
  Sha256Digest digest;
  unsigned length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace tavlo::crypto
