#pragma once
// Pointer, trackpad, touch and pencil input. Discrete events that must not be lost go on the
// reliable-input channel; continuous motion goes on the unreliable-input channel, where a lost
// datagram is superseded by the next.
//
// Positions xNorm/yNorm run from 0 (left, top) to 65,535 (right, bottom) of the streamed display;
// time stamps are the client's microseconds; dtUs is a sample's offset inside its batch. Floats are
// carried as their bits, whatever they hold.
#include <cstdint>
#include <vector>

#include "protocol/key_modifiers.hpp"
#include "protocol/message_types.hpp"
#include "protocol/option_set.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

enum class ScrollPhase : uint8_t { none = 0, began = 1, changed = 2, ended = 3, cancelled = 4 };
constexpr WireEnumRange wireRange(ScrollPhase) { return {0, 4}; }

// (`continue_`: the trailing underscore only avoids the keyword.)
enum class MomentumPhase : uint8_t { none = 0, begin = 1, continue_ = 2, end = 3 };
constexpr WireEnumRange wireRange(MomentumPhase) { return {0, 3}; }

// One pencil sample (18 bytes), embedded in PencilDiscrete and PencilSampleBatch.
struct PencilSample {
  // Which of force, altitude, azimuth and roll are estimates, and whether estimationUpdateId is set;
  // as PencilUpdate.validMask, which properties an update carries. Raw bits, not checked.
  struct Estimation : OptionSet<Estimation, uint8_t> {
    using OptionSet::OptionSet;
    static const Estimation force, altitude, azimuth, roll, hasUpdateId;
  };

  static constexpr size_t byteCount = 18;

  uint16_t xNorm = 0;
  uint16_t yNorm = 0;
  uint16_t force = 0;     // 0 to 65,535 for 0 to 1
  uint16_t altitude = 0;  // 65,535 is perpendicular to the surface
  uint16_t azimuth = 0;   // 0 to 65,535 for one full turn
  int16_t roll = 0;       // -32,767 to 32,767 for -180 to 180 degrees
  Estimation estimation;
  uint16_t estimationUpdateId = 0;
  uint16_t dtUs = 0;

  static void fields(auto& r, auto& io) {
    io(r.xNorm, r.yNorm, r.force, r.altitude, r.azimuth, r.roll, r.estimation, wire::reserved, r.estimationUpdateId,
       r.dtUs);
  }
  VELA_WIRE_VALUE(PencilSample);
};

inline constexpr PencilSample::Estimation PencilSample::Estimation::force{0x01};
inline constexpr PencilSample::Estimation PencilSample::Estimation::altitude{0x02};
inline constexpr PencilSample::Estimation PencilSample::Estimation::azimuth{0x04};
inline constexpr PencilSample::Estimation PencilSample::Estimation::roll{0x08};
inline constexpr PencilSample::Estimation PencilSample::Estimation::hasUpdateId{0x10};

// 22 bytes; a payload with fewer than four bytes after the time stamp has no modifiers.
struct PointerButton {
  uint8_t button = 0;
  bool down = false;
  uint16_t clickCount = 0;
  uint16_t xNorm = 0;
  uint16_t yNorm = 0;
  uint16_t generation = 0;
  uint64_t timestampUs = 0;
  KeyModifiers modifiers;

  static void fields(auto& r, auto& io) {
    io(r.button, r.down, r.clickCount, r.xNorm, r.yNorm, r.generation, r.timestampUs,
       wire::trailing(r.modifiers, KeyModifiers{}));
  }
  VELA_WIRE_RECORD(PointerButton, Channel::inputReliable, InputReliableType::pointerButton);
};

// 34 bytes; deltas are scroll amounts in pixels.
struct ScrollEvent {
  float deltaX = 0;
  float deltaY = 0;
  ScrollPhase phase = ScrollPhase::none;
  MomentumPhase momentumPhase = MomentumPhase::none;
  bool isContinuous = false;
  uint16_t xNorm = 0;
  uint16_t yNorm = 0;
  uint16_t generation = 0;
  float exitVelX = 0;
  float exitVelY = 0;
  uint64_t timestampUs = 0;

  static void fields(auto& r, auto& io) {
    io(r.deltaX, r.deltaY, wire::checked(r.phase, "scroll phase"), wire::checked(r.momentumPhase, "momentum"),
       r.isContinuous, wire::reserved, r.xNorm, r.yNorm, r.generation, r.exitVelX, r.exitVelY, r.timestampUs);
  }
  VELA_WIRE_RECORD(ScrollEvent, Channel::inputReliable, InputReliableType::scroll);
};

// 20 bytes.
struct PinchEvent {
  float magnification = 0;
  ScrollPhase phase = ScrollPhase::none;
  uint16_t xNorm = 0;
  uint16_t yNorm = 0;
  uint16_t generation = 0;
  uint64_t timestampUs = 0;

  static void fields(auto& r, auto& io) {
    io(r.magnification, wire::checked(r.phase, "pinch phase"), wire::reserved, r.xNorm, r.yNorm, r.generation,
       r.timestampUs);
  }
  VELA_WIRE_RECORD(PinchEvent, Channel::inputReliable, InputReliableType::pinch);
};

// A pencil touch or proximity event (27 bytes).
struct PencilDiscrete {
  enum class Kind : uint8_t { down = 0, up = 1, proximityEnter = 2, proximityLeave = 3, barrelSqueeze = 4 };
  friend constexpr WireEnumRange wireRange(Kind) { return {0, 4}; }

  Kind kind = Kind::down;
  PencilSample sample;
  uint64_t timestampUs = 0;

  static void fields(auto& r, auto& io) { io(wire::checked(r.kind, "pencil kind"), r.sample, r.timestampUs); }
  VELA_WIRE_RECORD(PencilDiscrete, Channel::inputReliable, InputReliableType::pencilDiscrete);
};

// Late property values for the samples that share an estimationUpdateId (11 bytes, no reserved
// byte). The host drops it unread.
struct PencilUpdate {
  uint16_t estimationUpdateId = 0;
  PencilSample::Estimation validMask;
  uint16_t force = 0;
  uint16_t altitude = 0;
  uint16_t azimuth = 0;
  int16_t roll = 0;

  static void fields(auto& r, auto& io) {
    io(r.estimationUpdateId, r.validMask, r.force, r.altitude, r.azimuth, r.roll);
  }
  VELA_WIRE_RECORD(PencilUpdate, Channel::inputReliable, InputReliableType::pencilUpdate);
};

// Pointer positions, 11 bytes + 6 per sample; at most 255 samples are sent, the rest are cut.
struct PointerMoveBatch {
  struct Sample {
    uint16_t xNorm = 0;
    uint16_t yNorm = 0;
    uint16_t dtUs = 0;
    static void fields(auto& r, auto& io) { io(r.xNorm, r.yNorm, r.dtUs); }
    VELA_WIRE_VALUE(Sample);
  };

  uint16_t generation = 0;
  uint64_t baseTimestampUs = 0;
  std::vector<Sample> samples;

  static void fields(auto& r, auto& io) {
    uint8_t count = wire::countU8(r.samples);
    io(r.generation, count, r.baseTimestampUs, wire::listOf(count, r.samples));
  }
  VELA_WIRE_RECORD(PointerMoveBatch, Channel::inputUnreliable, InputUnreliableType::pointerMoveBatch);
};

// Pencil samples, 12 bytes + 18 per sample; at most 255 samples are sent. The count precedes `flags`
// on the wire.
struct PencilSampleBatch {
  uint16_t generation = 0;
  uint8_t flags = 0;
  uint64_t baseTimestampUs = 0;
  std::vector<PencilSample> samples;

  static void fields(auto& r, auto& io) {
    uint8_t count = wire::countU8(r.samples);
    io(r.generation, count, r.flags, r.baseTimestampUs, wire::listOf(count, r.samples));
  }
  VELA_WIRE_RECORD(PencilSampleBatch, Channel::inputUnreliable, InputUnreliableType::pencilSampleBatch);
};

// A relative move in fractions of the display's width and height (10 bytes).
struct PointerMoveRelative {
  float dxNorm = 0;
  float dyNorm = 0;
  uint16_t generation = 0;

  static void fields(auto& r, auto& io) { io(r.dxNorm, r.dyNorm, r.generation); }
  VELA_WIRE_RECORD(PointerMoveRelative, Channel::inputUnreliable, InputUnreliableType::pointerMoveRelative);
};

}  // namespace vela
