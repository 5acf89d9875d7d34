#pragma once
// Control records that steer the video stream's geometry and its recovery. The video generation they
// carry counts the stream's configurations: a session starts at 1 and every chunk, parity packet and
// VideoConfig carries the generation it belongs to.
#include <cstdint>

#include "protocol/message_types.hpp"
#include "protocol/session_messages.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

// The client asks for a new stream size.
struct ResizeRequest {
  uint32_t requestId = 0;
  uint16_t windowPxW = 0;
  uint16_t windowPxH = 0;
  uint16_t backingScalePercent = 0;
  uint16_t maxFps = 0;

  static void fields(auto& r, auto& io) { io(r.requestId, r.windowPxW, r.windowPxH, r.backingScalePercent, r.maxFps); }
  VELA_WIRE_RECORD(ResizeRequest, Channel::control, ControlType::resizeRequest);
};

// A scale detent. The host neither sends nor handles it.
struct SetScale {
  uint8_t detentIndex = 0;
  uint16_t scalePermille = 0;  // 1000 = 1.0

  static void fields(auto& r, auto& io) { io(r.detentIndex, r.scalePermille); }
  VELA_WIRE_RECORD(SetScale, Channel::control, ControlType::setScale);
};

// The stream's geometry and HEVC configuration, ahead of the frames that use it.
struct VideoConfig {
  uint16_t generation = 0;
  uint16_t codedPxW = 0;  // encoded frame size, pixels
  uint16_t codedPxH = 0;
  uint16_t pointsW = 0;  // streamed display size, points
  uint16_t pointsH = 0;
  VideoCodec codec = VideoCodec::hevc8;
  uint8_t bitDepth = 0;
  uint16_t fps = 0;
  Bytes hvcc;  // serialized HEVC parameter sets; cut to 65,535 bytes on the wire

  static void fields(auto& r, auto& io) {
    io(r.generation, r.codedPxW, r.codedPxH, r.pointsW, r.pointsH, wire::checked(r.codec, "codec"), r.bitDepth, r.fps,
       wire::blob16(r.hvcc));
  }
  VELA_WIRE_RECORD(VideoConfig, Channel::control, ControlType::videoConfig);
};

// The client asks for a keyframe.
struct IdrRequest {
  enum class Reason : uint8_t { startup = 0, loss = 1, decodeError = 2, resume = 3 };
  friend constexpr WireEnumRange wireRange(Reason) { return {0, 3}; }

  uint16_t generation = 0;  // the generation the client is decoding
  uint32_t lastGoodFrameId = 0;
  Reason reason = Reason::startup;

  static void fields(auto& r, auto& io) { io(r.generation, r.lastGoodFrameId, wire::checked(r.reason, "idr reason")); }
  VELA_WIRE_RECORD(IdrRequest, Channel::control, ControlType::idrRequest);
};

// The client received a long-term reference frame whole.
struct LtrAck {
  uint16_t generation = 0;
  uint8_t ltrToken = 0;
  uint32_t frameId = 0;

  static void fields(auto& r, auto& io) { io(r.generation, r.ltrToken, r.frameId); }
  VELA_WIRE_RECORD(LtrAck, Channel::control, ControlType::ltrAck);
};

// How long the client should keep showing its last frame across a coming display change.
struct TransitionHintMessage {
  uint16_t minHoldMs = 0;

  static void fields(auto& r, auto& io) { io(r.minHoldMs); }
  VELA_WIRE_RECORD(TransitionHintMessage, Channel::control, ControlType::transitionHint);
};

// The playout buffer the client should keep.
struct StreamBuffer {
  uint16_t budgetMs = 0;

  static void fields(auto& r, auto& io) { io(r.budgetMs); }
  VELA_WIRE_RECORD(StreamBuffer, Channel::control, ControlType::streamBuffer);
};

}  // namespace vela
