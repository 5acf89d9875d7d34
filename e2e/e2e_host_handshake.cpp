#include "e2e/e2e_host_handshake.hpp"

#include "e2e/e2e_crypto.hpp"
#include "e2e/e2e_messages.hpp"
#include "platform/crypto/x25519.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

using tavlo::crypto::X25519PrivateKey;

namespace {
E2EHostHandshake::Outcome silence(std::string line) {
  return {.consumed = true, .answer = std::nullopt, .logLine = std::move(line)};
}
std::optional<E2EHello> decodeHello(ByteView packet) {
  try {
    RawPacket raw = RawPacket::decode(packet);
    if (raw.header.channel != Channel::control || raw.header.msgType != ControlType::e2eHello) return std::nullopt;
    return raw.decodePayload<E2EHello>();
  } catch (const WireError&) {
    return std::nullopt;
  }
}

bool gatePasses(const E2EIdentity& identity, const E2EHello& hello) {
  return hello.gateMac &&
         E2ECrypto::isValidGateMac(*hello.gateMac, identity.signingPublicKey(), hello.ephPub, hello.nonce);
}

}  // namespace

E2EHostHandshake::GateVerdict E2EHostHandshake::checkGate(const E2EIdentity& identity, ByteView packet) {
  auto hello = decodeHello(packet);
  if (!hello) return GateVerdict::notHello;
  return gatePasses(identity, *hello) ? GateVerdict::passed : GateVerdict::refused;
}

E2EHostHandshake::Outcome E2EHostHandshake::respond(const E2EIdentity& identity, bool requireSecure, ByteView packet) {
  auto decoded = decodeHello(packet);
  if (!decoded) return {};
  const E2EHello& hello = *decoded;
  if (requireSecure && !gatePasses(identity, hello)) return silence(refusedLine);

  auto ephemeral = X25519PrivateKey::generate();
  auto shared = ephemeral ? ephemeral->sharedSecret(hello.ephPub) : std::nullopt;
  if (!shared) return silence("🔐 ❌ E2E_HELLO: zła efemeryda klienta");

  Bytes transcript = E2ECrypto::transcript(hello.ephPub, hello.nonce, ephemeral->publicKey());
  auto signature = identity.signingKey().sign(transcript);
  if (!signature) return silence("🔐 ❌ podpis");

  auto key = E2ECrypto::sessionKey(*shared, hello.nonce);
  if (!key) return silence("🔐 ❌ E2E_HELLO: zła efemeryda klienta");

  E2EAck ack;
  ack.hostID = identity.hostID().bytes;
  ack.sigPub = identity.signingPublicKey();
  ack.ephPub = ephemeral->publicKey();
  ack.signature = *signature;
  return {.consumed = true, .answer = Answer{encodePacket(ack, 0, 0), *key}, .logLine = std::nullopt};
}

}  // namespace vela
