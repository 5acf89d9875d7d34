#include "e2e/e2e_envelope.hpp"

#include <algorithm>

#include "platform/crypto/chacha20_poly1305.hpp"

namespace vela {

using tavlo::crypto::ChaCha20Poly1305;

namespace {
constexpr size_t headSize = E2EEnvelope::magic.size() + E2EEnvelope::nonceSize;
}

std::optional<Bytes> E2EEnvelope::seal(ByteView packet, const SymmetricKey& key, const Nonce& nonce) {
  Bytes envelope(packet.size() + overhead);
  std::copy(magic.begin(), magic.end(), envelope.begin());
  std::copy(nonce.begin(), nonce.end(), envelope.begin() + magic.size());
  std::span<uint8_t> sealed(envelope.data() + headSize, packet.size() + tagSize);
  if (!ChaCha20Poly1305::seal(key, nonce, packet, sealed)) return std::nullopt;
  return envelope;
}

std::optional<Bytes> E2EEnvelope::open(ByteView envelope, const SymmetricKey& key) {
  if (!isEnvelope(envelope)) return std::nullopt;
  ByteView nonce = nonceOf(envelope);
  ByteView sealed = envelope.subspan(headSize);
  Bytes packet(sealed.size() - tagSize);
  if (!ChaCha20Poly1305::open(key, nonce, sealed, packet)) return std::nullopt;
  return packet;
}

bool E2EEnvelope::isEnvelope(ByteView data) {
  return data.size() >= overhead + 1 && std::equal(magic.begin(), magic.end(), data.begin());
}

}  // namespace vela
