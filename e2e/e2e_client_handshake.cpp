#include "e2e/e2e_client_handshake.hpp"

#include "e2e/e2e_crypto.hpp"
#include "e2e/e2e_messages.hpp"
#include "platform/crypto/ed25519.hpp"
#include "platform/crypto/random_bytes.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

using tavlo::crypto::X25519PrivateKey;

std::optional<E2EClientHandshake> E2EClientHandshake::start(const std::optional<Bytes>& hostSigPub) {
  auto ephemeral = X25519PrivateKey::generate();
  if (!ephemeral) return std::nullopt;
  E2EHello hello;
  hello.ephPub = ephemeral->publicKey();
  hello.nonce = tavlo::crypto::randomArray<16>();
  if (hostSigPub) {
    if (auto mac = E2ECrypto::gateMac(*hostSigPub, hello.ephPub, hello.nonce)) hello.gateMac = *mac;
  }
  return E2EClientHandshake(std::move(*ephemeral), hello.nonce, encodePacket(hello, 0, 0));
}

E2EClientHandshake::Result E2EClientHandshake::judgeAck(ByteView packet, const VerifyHost& verify,
                                                        const tavlo::LogSink& log) const {
  auto say = [&](const std::string& line) {
    if (log) log(line);
  };
  E2EAck ack;
  try {
    RawPacket raw = RawPacket::decode(packet);
    if (raw.header.channel != Channel::control || raw.header.msgType != ControlType::e2eAck) return {};
    ack = raw.decodePayload<E2EAck>();
  } catch (const WireError&) {
    return {};
  }
  const Result refused{Verdict::refused, std::nullopt};

  Bytes transcript = E2ECrypto::transcript(ephemeral_.publicKey(), nonce_, ack.ephPub);
  if (!tavlo::crypto::isValidEd25519Signature(ack.sigPub, transcript, ack.signature)) {
    say("🔐 ❌ podpis ACK nieprawidłowy — plaintext + zgłoszenie");
    return refused;
  }
  tavlo::Uuid hostID{ack.hostID};
  if (!verify || !verify(hostID, ack.sigPub, log)) return refused;

  auto shared = ephemeral_.sharedSecret(ack.ephPub);
  auto key = shared ? E2ECrypto::sessionKey(*shared, nonce_) : std::nullopt;
  if (!key) {
    say("🔐 ❌ ECDH");
    return refused;
  }
  return {Verdict::keyed, std::move(key)};
}

}  // namespace vela
