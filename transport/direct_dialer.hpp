#pragma once
// The client's dialer for the direct path: the one TCP connection and the three UDP flows that the
// host listener pairs into one session transport, opened in the order the listener expects (TCP
// first, then video, audio and input, each announced by its bind datagram). Client side only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/runtime/json_store.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela {

class DirectDialer final : public TransportDialer {
 public:
  // User defaults read at each call.
  static constexpr const char* bsdVideoRxKey = "tl.bsdVideoRx";    // Bool, default true
  static constexpr const char* bsdRcvBufKBKey = "tl.bsdRcvBufKB";  // integer KiB, default 4096
  static constexpr int64_t defaultRcvBufKB = 4096;

  // Diagnostic lines of the flows; also kept for the input rebind.
  tavlo::LogSink diag;
  // The client's user defaults; absent reads every key as absent.
  std::shared_ptr<const tavlo::JsonStore> settings;
  // Called once the host holds the TCP connection, before any flow is opened: tests stand there the
  // round trip that a real network puts between the two.
  std::function<void()> beforeFlows;

  // Blocks until the TCP connection and the three flows are up. Throws TransportError::badEndpoint for
  // a control port that cannot start a block of four, TransportError::notReady when a connection fails
  // before it is ready. Returns a DirectSessionTransport.
  std::shared_ptr<SessionTransport> connect(const std::string& host, uint16_t controlPort) override;
};

}  // namespace vela
