#pragma once
// A host's UDP port: one socket, and one UdpLink per remote address that sends to it. A link sends from
// the listening port, so the client sees replies from the port it wrote to. A cancelled link is
// forgotten at once: the next datagram from that address opens a new link, which is how a client that
// reconnects is told apart from the flow it replaced.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/net/net_thread.hpp"
#include "platform/net/socket_options.hpp"
#include "platform/net/udp_link.hpp"

namespace tavlo {

class UdpListenSocket {
 public:
  using OnPeer = std::function<void(std::shared_ptr<UdpLink> peer)>;

  // Binds `port` on every address (dual stack). Throws std::system_error when it cannot.
  static std::unique_ptr<UdpListenSocket> open(std::shared_ptr<NetThread> thread, uint16_t port,
                                               ServiceClass serviceClass);
  ~UdpListenSocket();  // stop()
  UdpListenSocket(const UdpListenSocket&) = delete;
  UdpListenSocket& operator=(const UdpListenSocket&) = delete;

  // Begins receiving. `onPeer` runs on the NetThread with each new link, whose first datagram waits
  // in it until the link is started.
  void start(OnPeer onPeer);
  // Takes no new peers. Links already open keep their traffic; the socket closes with the last of them,
  // or, when none is open, by the time the handle is gone.
  void stop();
  // The bound port (the kernel's choice when opened on port 0).
  uint16_t port() const { return port_; }

 private:
  struct Core;
  class Peer;
  UdpListenSocket(std::shared_ptr<Core> core, uint16_t port) : core_(std::move(core)), port_(port) {}

  std::shared_ptr<Core> core_;
  uint16_t port_;
};

}  // namespace tavlo
