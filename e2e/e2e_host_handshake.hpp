#pragma once
// The host half of the handshake as pure logic: one inbound control packet in, the answer out. The
// encrypting transport sends the answer and installs the key; nothing here touches a transport.
#include <cstdint>
#include <optional>
#include <string>

#include "e2e/e2e_identity.hpp"
#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

struct E2EHostHandshake {
  struct Answer {
    Bytes ackPacket;                   // 160 bytes: header (channel 0, type 0x28, all else 0) and E2EAck
    tavlo::crypto::SymmetricKey key;  // the session key, installed before the ack leaves
  };
  struct Outcome {
    bool consumed = false;               // the packet was an E2EHello: it goes no further
    std::optional<Answer> answer;        // present when the hello was accepted
    std::optional<std::string> logLine;  // why a consumed hello gets no answer
  };

  enum class GateVerdict : uint8_t { notHello, refused, passed };
  static constexpr const char* refusedLine = "🔒 odrzucono nieautoryzowane połączenie (brak/zły klucz bramki) — cisza";
  // Whether `packet` is an E2EHello whose gate MAC checks under the identity's signing key: only a
  // client told this host's key can make one. Cheap (one HMAC), so a listener can ask it of every
  // connection's first packet before giving the connection anything.
  static GateVerdict checkGate(const E2EIdentity& identity, ByteView packet);

  // Not consumed: anything that does not decode as an E2EHello packet. Consumed without answer: a
  // missing or wrong gate MAC while `requireSecure` ("🔒 ..."), an unusable client ephemeral key
  // (low-order keys included), a signer failure.
  static Outcome respond(const E2EIdentity& identity, bool requireSecure, ByteView packet);
};

}  // namespace vela
