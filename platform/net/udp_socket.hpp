#pragma once
// One UDP socket: its descriptor, its send path and its receive loop. The descriptor stays open while
// anyone holds the socket, so a send on one thread never races its closing on another; the receive loop
// runs on a NetThread and drains the socket completely each time it becomes readable.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <variant>

#include "platform/net/datagram_batch.hpp"
#include "platform/net/net_thread.hpp"
#include "platform/net/socket_address.hpp"
#include "platform/net/socket_options.hpp"
#include "platform/runtime/bytes.hpp"

namespace tavlo {

class UdpSocket : public std::enable_shared_from_this<UdpSocket> {
 public:
  // The step of opening a connected socket that failed.
  enum class OpenStep : uint8_t { resolve, socket, connect };
  struct OpenFailure {
    OpenStep step;
    std::string error;
  };
  struct ConnectOptions {
    ServiceClass serviceClass = ServiceClass::bestEffort;
    int receiveBufferBytes = 0;  // 0: the system's default
    int sendBufferBytes = mediaSocketBufferBytes;
  };
  using Opened = std::variant<std::shared_ptr<UdpSocket>, OpenFailure>;
  // Why binding one address failed: the socket could not be made, or the bind was refused; with errno.
  struct BindFailure {
    bool atSocket = false;
    int errorNumber = 0;
  };
  using Bound = std::variant<std::shared_ptr<UdpSocket>, BindFailure>;

  // Resolves `host` (any family), takes the first address, and connects a non-blocking socket to it.
  static Opened openConnected(const std::string& host, uint16_t port, const ConnectOptions& options);
  // Binds every address on `port`: dual-stack [::] (IPv4 peers appear as mapped addresses), or 0.0.0.0
  // on a host without IPv6. Throws std::system_error when the port cannot be bound. Address reuse is
  // not allowed: on Linux it would let two sockets share the port silently.
  // With `address` (numeric IPv4 or IPv6), only that address is bound.
  static std::shared_ptr<UdpSocket> openListening(uint16_t port, ServiceClass serviceClass,
                                                  const std::string& address = {});
  // Binds exactly `address` (numeric IPv4 or IPv6) and `port`, reporting a failure instead of throwing,
  // for owners that log the step and its errno.
  static Bound tryOpenBound(const std::string& address, uint16_t port, ServiceClass serviceClass);

  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int fd() const { return fd_->fd; }
  SocketAddress localAddress() const { return localAddressOf(fd()); }
  SocketAddress remoteAddress() const { return remoteAddressOf(fd()); }
  // The receive buffer the kernel reports after the request (0 when none was requested).
  int grantedReceiveBufferBytes() const { return grantedReceiveBufferBytes_; }

  // Sends in list order to `destination`, or to the connected peer when it is null. From any thread.
  DatagramBatchResult send(std::span<const ByteView> datagrams, const SocketAddress* destination = nullptr);

  // Called on the NetThread for every datagram, in arrival order.
  using OnDatagram = std::function<void(const SocketAddress& from, Bytes&& datagram)>;
  // Called on the NetThread with an errno the socket reported (an ICMP refusal, say); reading goes on.
  using OnError = std::function<void(int error)>;
  // Starts the receive loop. Datagrams longer than the receive slot (4,096 bytes, well above anything
  // the protocol sends) arrive cut by the kernel and are dropped rather than delivered corrupt.
  void startReading(std::shared_ptr<NetThread> thread, OnDatagram onDatagram, OnError onError);
  // Ends the receive loop from any thread; a callback already running finishes. Sends keep working.
  void stopReading();
  // Like stopReading, and returns once the loop has let go of the descriptor (unless called on the
  // loop's own thread), so that the port is free as soon as the socket goes.
  void stopReadingAndWait();

  static constexpr size_t receiveSlotBytes = 4096;

 private:
  // Closes the descriptor when the socket and its receive loop have both let go of it.
  struct Descriptor {
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor();
    const int fd;
  };
  struct Reader;

  explicit UdpSocket(int fd) : fd_(std::make_shared<Descriptor>(fd)) {}

  const std::shared_ptr<const Descriptor> fd_;
  int grantedReceiveBufferBytes_ = 0;
  std::atomic<bool> gsoUsable_{true};
  std::mutex mutex_;  // reader_
  std::shared_ptr<Reader> reader_;
};

}  // namespace tavlo
