#pragma once
// What both ends of the handshake compute alike: the two labels, the gate MAC by which the host
// recognises a client that knows its published key, the transcript the host signs, and the session key.
//
//   gate MAC   = HMAC-SHA256(key: host's Ed25519 public key, "TL2-gate-v1" ‖ client eph (32) ‖ nonce (16))
//   transcript = "TL2-E2E-v1" ‖ client eph (32) ‖ nonce (16) ‖ host eph (32)          (90 bytes)
//   key        = HKDF-SHA256(ikm: X25519 shared secret, salt: nonce, info: "TL2-E2E-v1", 32 bytes)
//
// The gate key is public: the MAC only shows that the client learned the host's key (normally from the
// trust publication); it is a filter against strangers, not an authentication.
#include <array>
#include <cstdint>
#include <optional>

#include "platform/crypto/hmac_sha256.hpp"
#include "platform/crypto/x25519.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela::E2ECrypto {

using tavlo::Bytes;
using tavlo::ByteView;

inline constexpr std::array<uint8_t, 10> info{'T', 'L', '2', '-', 'E', '2', 'E', '-', 'v', '1'};
inline constexpr std::array<uint8_t, 11> gateInfo{'T', 'L', '2', '-', 'g', 'a', 't', 'e', '-', 'v', '1'};

// nullopt only when the library fails.
std::optional<tavlo::crypto::HmacSha256Tag> gateMac(ByteView hostSigPub, ByteView clientEph, ByteView nonce);
// Checks a received gate MAC in constant time.
bool isValidGateMac(ByteView mac, ByteView hostSigPub, ByteView clientEph, ByteView nonce);

Bytes transcript(ByteView clientEph, ByteView nonce, ByteView hostEph);

// nullopt only when the library fails.
std::optional<tavlo::crypto::SymmetricKey> sessionKey(const tavlo::crypto::X25519SharedSecret& shared, ByteView nonce);

}  // namespace vela::E2ECrypto
