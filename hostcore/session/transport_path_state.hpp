#pragma once
// Session state: the transport of construction, the second paths of make-before-break and the facts
// about the path that pacing and adaptation use. Guarded by the session mutex.
#include <memory>
#include <vector>

#include "hostcore/session/host_sink.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela {

struct TransportPathState {
  std::shared_ptr<SessionTransport> originalTransport;  // the transport of construction (never null)
  std::shared_ptr<HostSink> promotedSink;               // set once a second path became the primary one
  bool relayedSession = false;                          // the description begins with "relay/" (any case)
  bool lanSession = false;                              // the path classifies as "LAN"
  std::vector<std::shared_ptr<HostSink>> secondarySinks;  // attached second paths, in attachment order
  bool transportCancelled = false;                      // cancelTransportNow has run

  // The transport every control message, the audio flow and the loops use: the promoted sink's while
  // one is promoted, else the transport of construction.
  const std::shared_ptr<SessionTransport>& effectiveTransport() const {
    return promotedSink ? promotedSink->transport() : originalTransport;
  }
};

}  // namespace vela
