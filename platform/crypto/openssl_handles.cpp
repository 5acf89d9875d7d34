#include "platform/crypto/openssl_handles.hpp"

namespace tavlo::crypto {

// Function-local statics: fetched on first use, freed at exit before OpenSSL's own clean-up (which was
// registered earlier, when the first fetch initialised the library).
const EVP_MD* sha256Algorithm() {
  static const EvpMd md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md.get();
}

const EVP_CIPHER* chacha20Poly1305Algorithm() {
  static const EvpCipher cipher(EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr));
  return cipher.get();
}

EVP_MAC* hmacAlgorithm() {
  static const EvpMac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  return mac.get();
}

EVP_KDF* hkdfAlgorithm() {
  static const EvpKdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  return kdf.get();
}

}  // namespace tavlo::crypto
