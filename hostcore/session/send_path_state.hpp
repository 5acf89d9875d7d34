#pragma once
// Session state: the frame send path, from the captured frame to the last datagram, and the video
// configuration last sent. Guarded by the session mutex.
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "hostcore/session/pacer_backlog.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela {

struct SendPathState {
  static constexpr size_t frameSlots = 256;  // per-frame maps, indexed by the frame id's low 8 bits
  static constexpr uint32_t noFrame = 0xFFFFFFFF;

  int64_t encodePending = 0;
  int64_t encodeDropped = 0;
  int64_t pacedPending = 0;
  bool pacingActive = false;
  PacerBacklog pacerBacklog;
  bool pacerDropLogged = false;  // one line per spell of drops, until the backlog empties
  std::optional<tavlo::Bytes> lastHvcc;                // the parameter sets of the last configuration
  std::pair<uint16_t, uint16_t> lastCodedPx{0, 0};
  std::pair<uint16_t, uint16_t> lastPointsPx{0, 0};
  bool configSent = false;
  int64_t framesSent = 0;
  int64_t capturedFrames = 0;
  std::array<uint32_t, frameSlots> frameCapIds = filled<uint32_t>(noFrame);
  std::array<uint64_t, frameSlots> frameCapUs = filled<uint64_t>(0);

 private:
  template <class T>
  static constexpr std::array<T, frameSlots> filled(T value) {
    std::array<T, frameSlots> slots{};
    slots.fill(value);
    return slots;
  }
};

}  // namespace vela
