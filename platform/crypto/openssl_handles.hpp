#pragma once
// RAII owners for the OpenSSL handles the crypto layer uses. Included by the layer's .cpp files only:
// no other part of the system sees an OpenSSL type.
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>

namespace tavlo::crypto {

template <class T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* handle) const { Free(handle); }
};

template <class T, void (*Free)(T*)>
using OpenSslHandle = std::unique_ptr<T, OpenSslDeleter<T, Free>>;

using EvpPkey = OpenSslHandle<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtx = OpenSslHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtx = OpenSslHandle<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpMd = OpenSslHandle<EVP_MD, EVP_MD_free>;
using EvpCipher = OpenSslHandle<EVP_CIPHER, EVP_CIPHER_free>;
using EvpCipherCtx = OpenSslHandle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using EvpMac = OpenSslHandle<EVP_MAC, EVP_MAC_free>;
using EvpMacCtx = OpenSslHandle<EVP_MAC_CTX, EVP_MAC_CTX_free>;
using EvpKdf = OpenSslHandle<EVP_KDF, EVP_KDF_free>;
using EvpKdfCtx = OpenSslHandle<EVP_KDF_CTX, EVP_KDF_CTX_free>;

// Algorithms fetched once per process: an implicit fetch on every call (EVP_sha256() and friends)
// costs a provider lookup each time. Null when the provider lacks the algorithm.
const EVP_MD* sha256Algorithm();
const EVP_CIPHER* chacha20Poly1305Algorithm();
EVP_MAC* hmacAlgorithm();
EVP_KDF* hkdfAlgorithm();

}  // namespace tavlo::crypto
