#pragma once
// Control records of the client's network path and of make-before-break: a second transport attaches
// to the running session and is then promoted to be its primary path.
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

// The client reports its current network interface.
struct ClientPathMessage {
  enum class Iface : uint8_t { wifi = 0, cellular = 1, wired = 2, other = 3 };
  friend constexpr WireEnumRange wireRange(Iface) { return {0, 3}; }

  Iface iface = Iface::wifi;  // an unknown code reads as `other`
  bool expensive = false;     // optional
  bool constrained = false;   // low-data mode; optional

  static void fields(auto& r, auto& io) {
    io(wire::lenient(r.iface, Iface::other), wire::trailing(r.expensive, false), wire::trailing(r.constrained, false));
  }
  VELA_WIRE_RECORD(ClientPathMessage, Channel::control, ControlType::clientPath);
};

// Sent instead of a ClientHello on a newly opened transport, to attach it to a running session.
struct MbbAttach {
  uint32_t sessionId = 0;
  uint16_t windowPxW = 0;
  uint16_t windowPxH = 0;
  uint16_t backingScalePercent = 0;
  bool viaVPN = false;  // optional; read from bit 0 of its byte

  static void fields(auto& r, auto& io) {
    io(r.sessionId, r.windowPxW, r.windowPxH, r.backingScalePercent, wire::trailing(wire::lowBit(r.viaVPN), false));
  }
  VELA_WIRE_RECORD(MbbAttach, Channel::control, ControlType::mbbAttach);
};

// The second path becomes the primary one; no payload.
struct MbbPromote {
  static void fields(auto&, auto& io) { io(); }
  VELA_WIRE_RECORD(MbbPromote, Channel::control, ControlType::mbbPromote);
};

// The kind of path the host tells the client to use. Unknown codes are carried as they are.
struct ForcePath {
  static constexpr uint8_t automatic = 0, lan = 1, nat = 2, relay = 3, vpn = 4;

  uint8_t path = automatic;

  // The code of a path setting: "auto", "lan", "nat", "relay", "vpn"; any other text is automatic.
  static uint8_t codeForSetting(std::string_view setting);

  static void fields(auto& r, auto& io) { io(r.path); }
  VELA_WIRE_RECORD(ForcePath, Channel::control, ControlType::forcePath);
};

// A short description of a path switch (cut to 255 bytes on the wire).
struct SwitchInfo {
  std::string text;

  static void fields(auto& r, auto& io) { io(wire::str8(r.text)); }
  VELA_WIRE_RECORD(SwitchInfo, Channel::control, ControlType::switchInfo);
};

inline uint8_t ForcePath::codeForSetting(std::string_view setting) {
  if (setting == "lan") return lan;
  if (setting == "nat") return nat;
  if (setting == "relay") return relay;
  if (setting == "vpn") return vpn;
  return automatic;
}

}  // namespace vela
