#pragma once
// The client half of the handshake as pure logic (the test peer of the host): it makes the hello and
// judges the host's answer. Checks run in the order signature, identity, key agreement, so a host
// identity reaches `verify` (and can be pinned there) only after it has signed this session's transcript.
#include <functional>
#include <optional>
#include <string>

#include "platform/crypto/secret_array.hpp"
#include "platform/crypto/x25519.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/system_log.hpp"
#include "platform/runtime/uuid.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class E2EClientHandshake {
 public:
  // Whether the host announcing `hostID` with `sigPub` is trusted (E2ETrust::verify has this shape,
  // bound to its stores). It logs its own reason.
  using VerifyHost = std::function<bool(const tavlo::Uuid& hostID, ByteView sigPub, const tavlo::LogSink& log)>;

  enum class Verdict {
    notAck,   // not an E2EAck packet: ordinary control traffic
    refused,  // an E2EAck that failed a check (logged)
    keyed,    // the session key is agreed
  };
  struct Result {
    Verdict verdict = Verdict::notAck;
    std::optional<tavlo::crypto::SymmetricKey> key;
  };

  // Fresh ephemeral key and nonce; the hello carries the gate MAC when the host's key is known.
  // nullopt only when the library fails.
  static std::optional<E2EClientHandshake> start(const std::optional<Bytes>& hostSigPub);

  // The E2EHello packet: header (channel 0, type 0x27, all else 0) and an 80- or 48-byte payload.
  const Bytes& helloPacket() const { return hello_; }

  Result judgeAck(ByteView packet, const VerifyHost& verify, const tavlo::LogSink& log) const;

 private:
  E2EClientHandshake(tavlo::crypto::X25519PrivateKey ephemeral, std::array<uint8_t, 16> nonce, Bytes hello)
      : ephemeral_(std::move(ephemeral)), nonce_(nonce), hello_(std::move(hello)) {}

  tavlo::crypto::X25519PrivateKey ephemeral_;
  std::array<uint8_t, 16> nonce_;
  Bytes hello_;
};

}  // namespace vela
