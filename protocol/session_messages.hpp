#pragma once
// Records that open, keep alive and close a session on the control channel, and the reachability
// probe used outside any session, with the vocabularies the hello carries.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/runtime/random.hpp"
#include "platform/runtime/uuid.hpp"
#include "protocol/message_types.hpp"
#include "protocol/wire_record.hpp"

namespace vela {

enum class Platform : uint8_t { mac = 1, iPhone = 2, iPad = 3, vision = 4 };
constexpr WireEnumRange wireRange(Platform) { return {1, 4}; }
// "Mac", "iPhone", "iPad", "Vision".
const char* deviceLabel(Platform platform);

enum class VideoCodec : uint8_t { hevc8 = 1, hevc10 = 2 };
constexpr WireEnumRange wireRange(VideoCodec) { return {1, 2}; }

// Capability bits of ClientHello; other bits have no meaning and are ignored.
namespace VideoCaps {
inline constexpr uint32_t hevcMain = 0x01;
inline constexpr uint32_t hevcMain10 = 0x02;
inline constexpr uint32_t h264 = 0x04;
}  // namespace VideoCaps
namespace AudioCaps {
inline constexpr uint32_t pcmS16_48k = 0x01;
inline constexpr uint32_t opus = 0x02;
}  // namespace AudioCaps
namespace FeatureCaps {
inline constexpr uint32_t clientCursor = 0x01;
inline constexpr uint32_t pencil = 0x02;
inline constexpr uint32_t pointerLock = 0x04;
inline constexpr uint32_t micStream = 0x08;
inline constexpr uint32_t camStream = 0x10;
inline constexpr uint32_t remoteUnlock = 0x20;      // the client can send the lock-screen password
inline constexpr uint32_t viaVPN = 0x40;            // the client reached the host over a VPN
inline constexpr uint32_t allScreensLowDPI = 0x80;  // none of the client's screens is high-density
}  // namespace FeatureCaps

// The client's opening hello. Its last three fields are optional: a payload may end after deviceName
// (33 bytes at least), and a deviceId whose length runs past the end reads as empty.
struct ClientHello {
  uint16_t protoVersion = 0;
  Platform platform = Platform::mac;
  uint16_t panelPxW = 0;
  uint16_t panelPxH = 0;
  uint16_t backingScalePercent = 0;  // 200 for a 2x screen
  uint16_t maxFps = 0;
  uint16_t maxDecodePxW = 0;
  uint16_t maxDecodePxH = 0;
  uint32_t videoCaps = 0;
  uint32_t audioCaps = 0;
  uint32_t featureCaps = 0;
  uint16_t windowPxW = 0;
  uint16_t windowPxH = 0;
  std::string deviceName;
  std::string deviceId;       // stable identifier of the device; empty when absent
  bool userInitiated = true;  // false for an automatic reconnect
  uint8_t ifaceHint = 255;    // code of the client's network interface; 255 when absent

  static void fields(auto& r, auto& io) {
    io(r.protoVersion, wire::checked(r.platform, "platform"), wire::reserved, r.panelPxW, r.panelPxH,
       r.backingScalePercent, r.maxFps, r.maxDecodePxW, r.maxDecodePxH, r.videoCaps, r.audioCaps, r.featureCaps,
       r.windowPxW, r.windowPxH, wire::str8(r.deviceName), wire::trailing(wire::str8(r.deviceId), ""),
       wire::trailing(r.userInitiated, true), wire::trailing(r.ifaceHint, 255));
  }
  VELA_WIRE_RECORD(ClientHello, Channel::control, ControlType::clientHello);
};

// The host's answer: a session id and ports, or a refusal.
struct HostHello {
  enum class RejectReason : uint8_t { ok = 0, version = 1, busy = 2 };
  friend constexpr WireEnumRange wireRange(RejectReason) { return {0, 2}; }

  uint16_t protoVersion = 0;
  bool accepted = false;
  RejectReason rejectReason = RejectReason::ok;
  uint32_t sessionId = 0;  // carried by every later header of the session
  uint16_t videoUdpPort = 0;
  uint16_t audioUdpPort = 0;
  uint16_t inputUdpPort = 0;
  VideoCodec chosenVideoCodec = VideoCodec::hevc8;
  uint8_t chosenAudioFormat = 0;
  uint16_t generation = 0;  // the video generation the stream starts with
  std::string hostName;
  bool mbbCapable = false;  // the session accepts a second path; optional

  // What this host writes, so that a client can rely on it.
  static HostHello acceptance(uint32_t sessionId, std::string hostName, bool mbbCapable);
  static HostHello busyRefusal(std::string hostName);
  // A session id from 1 to 4,294,967,295 (0 means "no session").
  static uint32_t randomSessionId(tavlo::Random& random);

  static void fields(auto& r, auto& io) {
    io(r.protoVersion, r.accepted, wire::checked(r.rejectReason, "rejectReason"), r.sessionId, r.videoUdpPort,
       r.audioUdpPort, r.inputUdpPort, wire::checked(r.chosenVideoCodec, "codec"), r.chosenAudioFormat, r.generation,
       wire::str8(r.hostName), wire::trailing(r.mbbCapable, false));
  }
  VELA_WIRE_RECORD(HostHello, Channel::control, ControlType::hostHello);
};

struct Ping {
  uint64_t t1 = 0;  // the sender's time stamp, microseconds

  static void fields(auto& r, auto& io) { io(r.t1); }
  VELA_WIRE_RECORD(Ping, Channel::control, ControlType::ping);
};

struct Pong {
  static constexpr uint16_t unknownAge = 0xFFFF;  // the age is not known (and the value when absent)
  static constexpr uint16_t neverSeen = 0xFFFE;   // nothing has arrived on the unreliable-input flow yet
  static constexpr uint16_t maxAge = 65533;       // real ages are capped here

  uint64_t t1 = 0;  // the ping's, unchanged
  uint64_t t2 = 0;  // host clock when the ping was handled
  uint64_t t3 = 0;  // host clock when the pong was built
  uint16_t udpInputAgeMs = unknownAge;

  // The age reported for the time since the last unreliable-input packet (none yet: neverSeen).
  static uint16_t inputAgeMs(std::optional<uint64_t> sinceLastInputUs);

  static void fields(auto& r, auto& io) { io(r.t1, r.t2, r.t3, wire::trailing(r.udpInputAgeMs, unknownAge)); }
  VELA_WIRE_RECORD(Pong, Channel::control, ControlType::pong);
};

// Orderly end of the session; no payload.
struct Bye {
  static void fields(auto&, auto& io) { io(); }
  VELA_WIRE_RECORD(Bye, Channel::control, ControlType::bye);
};

// Sent to the host's probe port to learn whether the host with this identifier answers there.
struct Probe {
  tavlo::Uuid hostID;  // the 16 bytes of the identifier, in its standard byte order
  uint32_t nonce = 0;  // echoed in the answer

  static void fields(auto& r, auto& io) { io(r.hostID.bytes, r.nonce); }
  VELA_WIRE_RECORD(Probe, Channel::control, ControlType::probe);
};

// The answer to a Probe, with the answering host's identifier and the probe's nonce.
struct ProbeAck {
  tavlo::Uuid hostID;
  uint32_t nonce = 0;

  static void fields(auto& r, auto& io) { Probe::fields(r, io); }
  VELA_WIRE_RECORD(ProbeAck, Channel::control, ControlType::probeAck);
};

}  // namespace vela
