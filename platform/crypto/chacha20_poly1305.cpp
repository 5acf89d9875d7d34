#include "platform/crypto/chacha20_poly1305.hpp"

#include <climits>

#include "platform/crypto/openssl_handles.hpp"

namespace tavlo::crypto {

namespace {

// One context per thread and direction, set up with the cipher once; each operation then only re-keys
// it. Passing the cipher again on every call would make OpenSSL free and rebuild the context.
EVP_CIPHER_CTX* threadContext(bool encrypt) {
  thread_local EvpCipherCtx contexts[2];
  EvpCipherCtx& ctx = contexts[encrypt ? 1 : 0];
  if (!ctx) {
    const EVP_CIPHER* cipher = chacha20Poly1305Algorithm();
    if (!cipher) return nullptr;
    EvpCipherCtx fresh(EVP_CIPHER_CTX_new());
    if (!fresh || EVP_CipherInit_ex2(fresh.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) != 1) {
      return nullptr;
    }
    ctx = std::move(fresh);
  }
  return ctx.get();
}

bool fitsInt(size_t size) { return size <= static_cast<size_t>(INT_MAX); }

bool feedAssociatedData(EVP_CIPHER_CTX* ctx, ByteView associatedData) {
  if (associatedData.empty()) return true;
  int length = 0;
  return EVP_CipherUpdate(ctx, nullptr, &length, associatedData.data(), static_cast<int>(associatedData.size())) == 1;
}

}  // namespace

bool ChaCha20Poly1305::seal(const SymmetricKey& key, ByteView nonce, ByteView plaintext, std::span<uint8_t> out,
                            ByteView associatedData) {
  if (nonce.size() != nonceSize || out.size() != plaintext.size() + tagSize) return false;
  if (!fitsInt(plaintext.size()) || !fitsInt(associatedData.size())) return false;
  EVP_CIPHER_CTX* ctx = threadContext(true);
  if (!ctx) return false;
  if (EVP_CipherInit_ex2(ctx, nullptr, key.data(), nonce.data(), 1, nullptr) != 1) return false;
  if (!feedAssociatedData(ctx, associatedData)) return false;
  int length = 0;
  if (!plaintext.empty() &&
      (EVP_CipherUpdate(ctx, out.data(), &length, plaintext.data(), static_cast<int>(plaintext.size())) != 1 ||
       static_cast<size_t>(length) != plaintext.size())) {
    return false;
  }
  int finalLength = 0;
  if (EVP_CipherFinal_ex(ctx, out.data() + plaintext.size(), &finalLength) != 1 || finalLength != 0) return false;
  return EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tagSize), out.data() + plaintext.size()) == 1;
}

bool ChaCha20Poly1305::open(const SymmetricKey& key, ByteView nonce, ByteView sealed, std::span<uint8_t> out,
                            ByteView associatedData) {
  if (nonce.size() != nonceSize || sealed.size() < tagSize || out.size() != sealed.size() - tagSize) return false;
  if (!fitsInt(sealed.size()) || !fitsInt(associatedData.size())) return false;
  EVP_CIPHER_CTX* ctx = threadContext(false);
  if (!ctx) return false;
  if (EVP_CipherInit_ex2(ctx, nullptr, key.data(), nonce.data(), 0, nullptr) != 1) return false;
  if (!feedAssociatedData(ctx, associatedData)) return false;
  size_t cipherLength = sealed.size() - tagSize;
  int length = 0;
  if (cipherLength > 0 &&
      (EVP_CipherUpdate(ctx, out.data(), &length, sealed.data(), static_cast<int>(cipherLength)) != 1 ||
       static_cast<size_t>(length) != cipherLength)) {
    return false;
  }
  // OpenSSL only reads the tag; its parameter is not const.
  auto* tag = const_cast<uint8_t*>(sealed.data() + cipherLength);
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagSize), tag) != 1) return false;
  int finalLength = 0;
  return EVP_CipherFinal_ex(ctx, out.data() + cipherLength, &finalLength) == 1 && finalLength == 0;
}

}  // namespace tavlo::crypto
