#include "transport/relay_challenge.hpp"

#include <algorithm>
#include <array>

namespace vela {
namespace {

// The handshake label that opens every signed transcript.
constexpr std::array<uint8_t, 10> handshakeLabel{'T', 'L', '2', '-', 'E', '2', 'E', '-', 'v', '1'};

}  // namespace

bool RelayChallenge::isSignable(tavlo::ByteView challenge) {
  if (challenge.size() == transcriptBytes) return false;
  bool labelled = challenge.size() >= handshakeLabel.size() &&
                  std::equal(handshakeLabel.begin(), handshakeLabel.end(), challenge.begin());
  return !labelled;
}

}  // namespace vela
