#pragma once
// Which relay challenges the host signs. The registration answers the service's challenge with the
// key that also signs every handshake transcript, and the challenge arrives over plain TCP: a service,
// or anyone in the path, that sent a client's 90-byte handshake transcript ("TL2-E2E-v1" ‖ client eph
// ‖ nonce ‖ host eph) as its challenge would get a valid handshake signature and could stand in for
// this host. Such challenges are refused; any other challenge is signed as before.
#include "platform/runtime/bytes.hpp"

namespace vela {

struct RelayChallenge {
  // The length of a signed handshake transcript.
  static constexpr size_t transcriptBytes = 90;

  static bool isSignable(tavlo::ByteView challenge);
};

}  // namespace vela
