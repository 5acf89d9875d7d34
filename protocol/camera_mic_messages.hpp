#pragma once
// Control records that switch the client's camera and microphone uplinks and set their quality, and
// the host's quality ladders.
#include <cstdint>

#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

struct MicControl {
  bool enabled = false;

  static void fields(auto& r, auto& io) { io(r.enabled); }
  VELA_WIRE_RECORD(MicControl, Channel::control, ControlType::micControl);
};

struct CamControl {
  bool enabled = false;

  static void fields(auto& r, auto& io) { io(r.enabled); }
  VELA_WIRE_RECORD(CamControl, Channel::control, ControlType::camControl);
};

// The client's camera stream, described before its chunks.
struct CamConfig {
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t fps = 0;
  Bytes hvcc;  // the stream's HEVC parameter sets; cut to 65,535 bytes on the wire

  static void fields(auto& r, auto& io) { io(r.width, r.height, r.fps, wire::blob16(r.hvcc)); }
  VELA_WIRE_RECORD(CamConfig, Channel::control, ControlType::camConfig);
};

struct CamQuality {
  uint16_t maxWidth = 0;
  uint8_t fps = 0;
  uint32_t bitrateKbps = 0;

  static constexpr int levelCount = 7;
  // The host's camera ladder, 160 px at 10 fps up to 1920 px at 30 fps; the level is clamped into range.
  static CamQuality forLevel(int level);

  static void fields(auto& r, auto& io) { io(r.maxWidth, r.fps, r.bitrateKbps); }
  VELA_WIRE_RECORD(CamQuality, Channel::control, ControlType::camQuality);
};

struct MicQuality {
  uint32_t bitrateKbps = 0;

  static constexpr int levelCount = 5;
  // The host's microphone ladder, 16 to 64 kbit/s; the level is clamped into range.
  static MicQuality forLevel(int level);

  static void fields(auto& r, auto& io) { io(r.bitrateKbps); }
  VELA_WIRE_RECORD(MicQuality, Channel::control, ControlType::micQuality);
};

}  // namespace vela
