#pragma once
// The sender of one secondary path of a session (make-before-break): a second transport of the same
// client, attached while the first still works and possibly promoted to be the primary path.
//
// What the session core needs of it so far: its transport, the session id the client uses on it and
// whether it runs over a VPN. The sink's send queue, its video sequence and the rest come with the
// multipath code.
#include <cstdint>
#include <memory>

#include "protocol/transport_interfaces.hpp"

namespace vela {

class HostSink {
 public:
  HostSink(std::shared_ptr<SessionTransport> transport, uint32_t sessionId, bool viaVPN)
      : transport_(std::move(transport)), sessionId_(sessionId), viaVPN_(viaVPN) {}
  HostSink(const HostSink&) = delete;
  HostSink& operator=(const HostSink&) = delete;

  const std::shared_ptr<SessionTransport>& transport() const { return transport_; }
  uint32_t sessionId() const { return sessionId_; }
  bool viaVPN() const { return viaVPN_; }

 private:
  const std::shared_ptr<SessionTransport> transport_;
  const uint32_t sessionId_;
  const bool viaVPN_;
};

}  // namespace vela
