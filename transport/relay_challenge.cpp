#include "transport/relay_challenge.hpp"

#include <algorithm>

#include "e2e/e2e_crypto.hpp"

namespace vela {

bool RelayChallenge::isSignable(tavlo::ByteView challenge) {
  if (challenge.size() == transcriptBytes) return false;
  // Every signed transcript opens with the handshake label.
  const auto& label = E2ECrypto::info;
  bool labelled = challenge.size() >= label.size() && std::equal(label.begin(), label.end(), challenge.begin());
  return !labelled;
}

}  // namespace vela
