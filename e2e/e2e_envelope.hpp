#pragma once
// The sealed form of one whole packet (header and payload) once a session key is agreed:
//
//   "TLE2" (4) ‖ nonce (12) ‖ ciphertext (as long as the packet) ‖ Poly1305 tag (16)
//
// ChaCha20-Poly1305 with a nonce never used before under the key and no associated data: the magic
// lies outside the tag. There is no sequence number or key identifier; the receiver tries its one key.
// The nonce is all a receiver has to tell a packet it took already from a new one (ReplayWindow).
// Both operations allocate their result and nothing else, keep no state and may run on any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;
using tavlo::crypto::SymmetricKey;

struct E2EEnvelope {
  static constexpr std::array<uint8_t, 4> magic{0x54, 0x4C, 0x45, 0x32};  // "TLE2"
  static constexpr size_t nonceSize = 12;
  static constexpr size_t tagSize = 16;
  static constexpr size_t overhead = magic.size() + nonceSize + tagSize;  // 32
  using Nonce = std::array<uint8_t, nonceSize>;

  // The envelope of `packet` under `nonce`, which the caller never used before with `key` (SealNonces);
  // nullopt only when the cipher fails.
  static std::optional<Bytes> seal(ByteView packet, const SymmetricKey& key, const Nonce& nonce);
  // The packet sealed in `envelope`; nullopt for a short input, a wrong magic or a failed
  // authentication (another key, any changed byte, a cut tag). Nothing is logged.
  static std::optional<Bytes> open(ByteView envelope, const SymmetricKey& key);
  // Whether `data` has the shape of an envelope: the magic and at least one byte of ciphertext.
  // It does not authenticate.
  static bool isEnvelope(ByteView data);
  // The nonce of something isEnvelope() accepts.
  static ByteView nonceOf(ByteView envelope) { return envelope.subspan(magic.size(), nonceSize); }
};

}  // namespace vela
