#pragma once
// Answers a client's liveness probe before any session: one IPv4 UDP socket on the probe port (the
// fifth port of the host's block) that echoes the nonce of each probe naming this host, when the
// peer's path is currently allowed. It keeps no state about clients, logs nothing per datagram, and
// never starts a session.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/net/net_thread.hpp"
#include "platform/net/udp_socket.hpp"
#include "platform/runtime/system_log.hpp"
#include "platform/runtime/uuid.hpp"

namespace tavlo {

class ProbeResponder {
 public:
  // Given a peer's numeric address text, whether its path is allowed now. Called on the responder's
  // thread ("vela.probe.responder").
  using AllowPeer = std::function<bool(const std::string& peerAddress)>;

  // Only the first bytes of a datagram are looked at; a probe is 36.
  static constexpr size_t receiveLimitBytes = 256;

  ProbeResponder(Uuid hostID, AllowPeer allowPeer, LogSink onLog);
  ~ProbeResponder();  // stop()
  ProbeResponder(const ProbeResponder&) = delete;
  ProbeResponder& operator=(const ProbeResponder&) = delete;

  // Binds 0.0.0.0:port and starts answering; a failure is logged and leaves the responder inert. Once.
  void start(uint16_t port);
  // Closes the socket; no answer starts after it returns. Safe when not started, and twice.
  void stop();
  bool isRunning() const;

 private:
  const Uuid hostID_;
  const AllowPeer allowPeer_;
  const LogSink onLog_;
  mutable std::mutex mutex_;  // socket_
  std::shared_ptr<UdpSocket> socket_;
};

}  // namespace tavlo
