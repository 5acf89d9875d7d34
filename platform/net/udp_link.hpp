#pragma once
// One UDP peer as a connection: the client's socket connected to the host, or one remote address on a
// host's listening socket. It reports its state, delivers the peer's datagrams on its NetThread and
// sends to the peer from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/net/net_thread.hpp"
#include "platform/net/socket_options.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo {

class UdpLink {
 public:
  // ready: usable (again, after waiting). waiting: the path refuses traffic for now (an ICMP refusal, an
  // unreachable network); traffic may resume. failed and cancelled are final.
  enum class State : uint8_t { ready, waiting, failed, cancelled };
  using OnState = std::function<void(State state, const std::string& error)>;
  using OnDatagram = std::function<void(Bytes&& datagram)>;

  // Datagrams that wait in a link not yet started (a host's new peer before its owner takes it).
  static constexpr size_t unstartedQueueLimit = 64;

  virtual ~UdpLink() = default;

  // Installs the handlers; both run on thread(). The first state is ready or failed; a final state comes
  // once, after which nothing more is delivered. Called on thread(), the link starts before it returns.
  virtual void start(OnState onState, OnDatagram onDatagram) = 0;
  // In list order; losses are silent (and may show as `waiting`).
  virtual void send(std::span<const ByteView> datagrams) = 0;
  // Stops traffic at once; `cancelled` follows on thread(). Also done when the link is destroyed.
  virtual void cancel() = 0;
  // Printed addresses ("a.b.c.d:port", "[v6]:port"), "?" when there is none.
  virtual std::string localDescription() const = 0;
  virtual std::string remoteDescription() const = 0;
  virtual const std::shared_ptr<NetThread>& thread() const = 0;

  // A socket connected to host:port, resolved now on the caller's thread. When resolving or
  // connecting fails, the link starts in the failed state with the reason.
  static std::shared_ptr<UdpLink> dial(std::shared_ptr<NetThread> thread, const std::string& host, uint16_t port,
                                       ServiceClass serviceClass);
};

}  // namespace tavlo
