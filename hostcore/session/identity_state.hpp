#pragma once
// Session state: who the client is, the session's header numbers, its liveness clocks, the lock screen
// and the facts the hello learned about the client. Guarded by the session mutex.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/runtime/scheduler.hpp"

namespace vela {

struct IdentityState {
  // Header numbers and identity.
  uint32_t sessionId = 0;       // 0 until a hello is accepted; every control header carries it
  uint16_t generation = 1;      // the video configuration's generation
  uint32_t videoSeq = 0;        // sequence of the primary path's video datagrams (wraps)
  bool helloSeen = false;       // a hello (or a second-path attach) arrived: the watchdog stands down
  std::optional<std::string> linkDeviceKey;  // client key + "#" + interface hint, once known
  bool mbbCapable = false;      // the owner allows a second path; told to the client in the host hello
  bool donated = false;         // the transport was handed to another session: never close it here
  bool refusalClosing = false;  // a refusal's timed close owns the transport: the session's end leaves it

  // Liveness (µs of the session clock; 0 = never).
  uint64_t lastClientPacketUs = 0;     // any decodable packet of the client
  uint64_t lastFlowBindUs = 0;         // the client's last unreliable-input keepalive
  uint64_t lastInputFlowPacketUs = 0;  // the last unreliable-input packet of any kind
  int64_t flowBindStreak = 0;
  bool udpKeepaliveArmed = false;
  tavlo::ScopedTimer reaperTimer;      // the reaper, once engine setup started it
  tavlo::ScopedTimer helloWatchdog;    // armed by start(); stands down on the hello
  bool disconnected = false;           // teardown has begun (or the watchdog closed the transport)
  bool sawBye = false;                 // the client (or the owner) ended the session on purpose

  // Lock screen.
  std::string lastLoginPassword;       // never logged, only its length
  bool clientUnlockCapable = false;
  bool clientVpn = false;              // the client reports a VPN path

  // Hello handling.
  bool helloHandled = false;  // the first ClientHello was taken; a second one is ignored
};

}  // namespace vela
