#pragma once
// ChaCha20-Poly1305, the IETF variant (RFC 8439): 256-bit key, 96-bit nonce, 128-bit tag.
//
// Both operations write into a buffer the caller provides, so that a caller who seals or opens once per
// packet allocates only its own result. Each thread keeps one cipher context per direction, created on
// first use: the operations may run on any number of threads at once.
#include <cstddef>
#include <span>

#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo::crypto {

struct ChaCha20Poly1305 {
  static constexpr size_t keySize = 32;
  static constexpr size_t nonceSize = 12;
  static constexpr size_t tagSize = 16;

  // Encrypts `plaintext` into out[0, n) and writes the tag to out[n, n + 16), n = plaintext.size().
  // `out` must be exactly n + 16 bytes; it may begin at plaintext's first byte (in place). False when
  // the nonce is not 12 bytes, `out` has the wrong size, or the library fails.
  static bool seal(const SymmetricKey& key, ByteView nonce, ByteView plaintext, std::span<uint8_t> out,
                   ByteView associatedData = {});

  // Checks the tag at the end of `sealed` (ciphertext ‖ tag) and decrypts the ciphertext into `out`,
  // which must be exactly sealed.size() - 16 bytes. False when the nonce is not 12 bytes, `sealed` is
  // shorter than a tag, the sizes disagree or authentication fails; `out` then holds nothing usable.
  static bool open(const SymmetricKey& key, ByteView nonce, ByteView sealed, std::span<uint8_t> out,
                   ByteView associatedData = {});
};

}  // namespace tavlo::crypto
