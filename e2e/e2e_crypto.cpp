#include "e2e/e2e_crypto.hpp"

#include "platform/crypto/hkdf_sha256.hpp"

namespace vela::E2ECrypto {

namespace {
Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
}  // namespace

std::optional<tavlo::crypto::HmacSha256Tag> gateMac(ByteView hostSigPub, ByteView clientEph, ByteView nonce) {
  return tavlo::crypto::hmacSha256(hostSigPub, concat({gateInfo, clientEph, nonce}));
}

bool isValidGateMac(ByteView mac, ByteView hostSigPub, ByteView clientEph, ByteView nonce) {
  return tavlo::crypto::isValidHmacSha256(mac, hostSigPub, concat({gateInfo, clientEph, nonce}));
}

Bytes transcript(ByteView clientEph, ByteView nonce, ByteView hostEph) {
  return concat({info, clientEph, nonce, hostEph});
}

std::optional<tavlo::crypto::SymmetricKey> sessionKey(const tavlo::crypto::X25519SharedSecret& shared, ByteView nonce) {
  auto derived = tavlo::crypto::hkdfSha256(shared.view(), nonce, info, tavlo::crypto::SymmetricKey::size);
  if (!derived) return std::nullopt;
  auto key = tavlo::crypto::SymmetricKey::fromBytes(*derived);
  tavlo::crypto::secureZero(derived->data(), derived->size());
  return key;
}

}  // namespace vela::E2ECrypto
