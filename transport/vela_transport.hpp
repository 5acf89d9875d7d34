#pragma once
// Constants of the transport module.
#include <cstdint>

namespace vela {

struct VelaTransport {
  // The default port block of the direct path: TCP control, then UDP video, audio and unreliable input.
  // The host listens on a block found free at start-up, base to base + 3 in this order.
  static constexpr uint16_t controlPort = 47700;
  static constexpr uint16_t videoPort = 47701;
  static constexpr uint16_t audioPort = 47702;
  static constexpr uint16_t inputUnreliablePort = 47703;
};

}  // namespace vela
