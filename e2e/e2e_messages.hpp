#pragma once
// The two handshake records, each sent once in plaintext on the control channel before anything is
// sealed: the client's E2EHello and the host's E2EAck. Their packets carry a header with flags 0,
// session id 0 and sequence number 0. Fields are raw bytes without length prefixes.
#include <array>
#include <cstdint>
#include <optional>

#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

namespace wire {

// An optional field at the very end of a record that is written only when present, and read when its
// whole encoding remains (else it is absent and nothing is read).
template <class O>
struct OptionalAtEnd : FieldTag {
  using Value = std::remove_const_t<O>;
  using Inner = typename Value::value_type;
  O& value;
  static constexpr size_t minSize() { return Plain<const Inner>::minSize(); }
  void write(ByteWriter& w) const {
    if (value) Plain<const Inner>{{}, *value}.write(w);
  }
  void read(ByteReader& r) const {
    if (r.remaining() < minSize()) {
      value.reset();
      return;
    }
    Inner inner{};
    Plain<Inner>{{}, inner}.read(r);
    value = inner;
  }
  void fill(tavlo::Random& random) const {
    if (random.below(2) == 0) {
      value.reset();
      return;
    }
    Inner inner{};
    Plain<Inner>{{}, inner}.fill(random);
    value = inner;
  }
};
template <class O>
OptionalAtEnd<O> optionalAtEnd(O& value) {
  return {{}, value};
}

}  // namespace wire

// Client to host: 80 payload bytes with the gate MAC, 48 without. A payload of 48 to 79 bytes decodes
// without the MAC (the rest is ignored).
struct E2EHello {
  std::array<uint8_t, 32> ephPub{};  // the client's ephemeral X25519 public key
  std::array<uint8_t, 16> nonce{};   // fresh per handshake; also the HKDF salt
  std::optional<std::array<uint8_t, 32>> gateMac;  // absent when the client does not know the host's key

  static void fields(auto& r, auto& io) { io(r.ephPub, r.nonce, wire::optionalAtEnd(r.gateMac)); }
  VELA_WIRE_RECORD(E2EHello, Channel::control, ControlType::e2eHello);
};

// Host to client: 144 payload bytes.
struct E2EAck {
  std::array<uint8_t, 16> hostID{};     // the host identifier's bytes in canonical order
  std::array<uint8_t, 32> sigPub{};     // the host's long-term Ed25519 public key
  std::array<uint8_t, 32> ephPub{};     // the host's ephemeral X25519 public key
  std::array<uint8_t, 64> signature{};  // Ed25519 over the transcript

  static void fields(auto& r, auto& io) { io(r.hostID, r.sigPub, r.ephPub, r.signature); }
  VELA_WIRE_RECORD(E2EAck, Channel::control, ControlType::e2eAck);
};

}  // namespace vela
