#pragma once
// A host's TCP port: accepts connections on every address (dual stack), or on one address, and hands each
// over started-ready.
//
// When the process is out of descriptors, the waiting connection cannot be taken and the port stays
// readable: waiting for readiness again would return at once and spin a core for as long as the
// descriptors stay taken. Accepting then pauses for acceptBackoffUs at a time, and the connections
// already open are served meanwhile. A wait for readiness that fails is retried after the same pause, and
// a connection whose hand-over throws is closed alone: accepting never stops for good and never ends
// the process.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/net/net_thread.hpp"
#include "platform/net/socket_options.hpp"
#include "platform/net/tcp_connection.hpp"

namespace tavlo {

class TcpListenSocket {
 public:
  using OnConnection = std::function<void(std::shared_ptr<TcpConnection> connection)>;
  // Told, on the NetThread, that accepting has run into trouble (the error's text, and whether accepting
  // now pauses for acceptBackoffUs, as it does out of descriptors, or only the one connection was lost):
  // once per spell of trouble, which ends when a connection is handed over again. Accepting goes on by
  // itself meanwhile.
  using OnTrouble = std::function<void(const std::string& error, bool pausing)>;

  // How long accepting pauses after the process ran out of descriptors.
  static constexpr uint64_t acceptBackoffUs = 100'000;

  // Binds and listens on `port` of every address, or only of `address` (numeric IPv4 or IPv6) when one
  // is given. Throws std::system_error when the port is taken or unusable or the address is not one.
  static std::unique_ptr<TcpListenSocket> open(std::shared_ptr<NetThread> thread, uint16_t port,
                                               ServiceClass serviceClass, const std::string& address = {});
  ~TcpListenSocket();  // stop()
  TcpListenSocket(const TcpListenSocket&) = delete;
  TcpListenSocket& operator=(const TcpListenSocket&) = delete;

  // Accepts until stopped; `onConnection` runs on the NetThread. Returns once accepting has begun.
  void start(OnConnection onConnection, OnTrouble onTrouble = {});
  // NetThread: hands over every connection already waiting in the kernel's accept queue, now. An owner
  // that pairs TCP connections with UDP flows calls it before taking a new flow, so that a connection
  // established before the flow's first datagram is seen first, whatever order the readiness events
  // come in. Returns how many were handed over.
  size_t acceptWaiting();
  // Closes the listening socket and returns once it is closed. Accepted connections go on.
  void stop();
  // The bound port (the kernel's choice when opened on port 0).
  uint16_t port() const { return port_; }

 private:
  struct Core;
  TcpListenSocket(std::shared_ptr<Core> core, uint16_t port) : core_(std::move(core)), port_(port) {}
  std::shared_ptr<Core> core_;
  uint16_t port_;
};

}  // namespace tavlo
