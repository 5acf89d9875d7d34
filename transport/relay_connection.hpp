#pragma once
// The TCP connections to the relay service's line port: the host's registration and joins, the
// client's probes and connects. Plain TCP with Nagle's delay off and keep-alive on, marked as
// interactive voice.
#include <memory>

#include "platform/net/net_thread.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/relay.hpp"

namespace vela {

struct RelayConnection {
  // A connection to the service's line port whose handlers run on `thread`; not started.
  static std::shared_ptr<tavlo::TcpConnection> dial(std::shared_ptr<tavlo::NetThread> thread,
                                                    const RelayService& service);
  // Starts `connection` and blocks until it is ready; throws TransportError::notReady when it fails or
  // is cancelled first. No time limit of its own: callers that need one use withTimeout, and cancel.
  static void start(const std::shared_ptr<tavlo::TcpConnection>& connection);
};

}  // namespace vela
