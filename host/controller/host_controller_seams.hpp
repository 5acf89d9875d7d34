#pragma once
// What the controller's start-up and listening ask of other parts of the host. Each step is optional:
// one that is not given is skipped, and the controller goes on with the next as the start-up order
// says. The program entry (or a test) fills in the parts that exist.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/runtime/system_log.hpp"
#include "platform/runtime/uuid.hpp"
#include "protocol/transport_interfaces.hpp"

namespace tavlo {

struct HostControllerSeams {
  // Start-up, in the order bootstrap calls them.
  // Switches on the physical displays that an earlier run left off (the virtual-display controller).
  std::function<void()> recoverDisplayIsolation{};
  // Brings the login service in line with the user's wish; true when the service's own instance has
  // started and this hand-started one must quit.
  std::function<bool()> reconcileAutostart{};
  // Creates and starts the update controller; it may call `log` from any thread.
  std::function<void(LogSink log)> startUpdates{};
  // Fetches the shareable screen content once, so that the first capture starts fast.
  std::function<void()> prewarmCapture{};

  // Listening, in the order it calls them.
  // Hands the virtual-display controller its log hook.
  std::function<void(LogSink sink)> setDisplayLogSink{};
  // Whether the screen is locked at this moment.
  std::function<bool()> isScreenLocked{};
  // Starts answering probes on `port`; `allowPeer` (any thread) says whether a peer's address may
  // have an answer. Returns what stops the responder.
  using AllowPeer = std::function<bool(const std::string& peer)>;
  std::function<std::function<void()>(uint16_t port, const Uuid& hostID, AllowPeer allowPeer, LogSink log)>
      startProbeResponder{};
  // Reachability policy: the relay link, the purge of stale router mappings and the mapping itself.
  std::function<void()> startRelayLink{};
  std::function<void()> purgeStaleNAT{};
  std::function<void()> startNATMapping{};
  // Advertises the host on the local network; returns what withdraws the advertisement.
  std::function<std::function<void()>(uint16_t port, const Uuid& hostID, const std::string& name, LogSink log)>
      startBonjour{};
  // Session wiring: turns an accepted, encrypted transport into a running session. Without it the
  // transport is refused and closed.
  std::function<void(std::shared_ptr<vela::SessionTransport> transport)> handleSession{};
};

}  // namespace tavlo
