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
}  // namespace

E2EHostHandshake::Outcome E2EHostHandshake::respond(const E2EIdentity& identity, bool requireSecure, ByteView packet) {
  E2EHello hello;
  try {
    RawPacket raw = RawPacket::decode(packet);
    if (raw.header.channel != Channel::control || raw.header.msgType != ControlType::e2eHello) return {};
    hello = raw.decodePayload<E2EHello>();
  } catch (const WireError&) {
    return {};
  }

  if (requireSecure && (!hello.gateMac || !E2ECrypto::isValidGateMac(*hello.gateMac, identity.signingPublicKey(),
                                                                     hello.ephPub, hello.nonce))) {
    return silence("🔒 odrzucono nieautoryzowane połączenie (brak/zły klucz bramki) — cisza");
  }

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
