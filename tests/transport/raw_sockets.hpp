#pragma once
// Plain sockets that script a peer byte by byte: the view of our transport code from a peer that has
// none of it (a client for the host listener, a relay service for the relay path).
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/net/socket_address.hpp"
#include "platform/runtime/bytes.hpp"

namespace vela::testkit {

using tavlo::Bytes;
using tavlo::ByteView;

// The socket address of a numeric IPv4 or IPv6 address.
tavlo::SocketAddress socketAddress(const std::string& ip, uint16_t port);
// Whether a UDP socket could bind `address` now: nobody holds its port any more.
bool udpPortIsFree(const tavlo::SocketAddress& address);
// Whether `address` is an IPv6 one and this machine has no IPv6 loopback (::1) to reach it on, as on
// many container runners: the IPv6 cases then check what a user of such a machine gets instead.
bool ipv6Missing(const std::string& address);

// One frame of the multiplex: the payload's length (32 bits, little-endian), then the payload.
Bytes muxFrame(ByteView payload);
Bytes joined(std::initializer_list<Bytes> parts);

// A UDP socket bound to `localAddress` (port chosen by the kernel unless given).
class RawUdp {
 public:
  explicit RawUdp(const std::string& localAddress = "127.0.0.1", uint16_t localPort = 0);
  ~RawUdp();
  RawUdp(const RawUdp&) = delete;
  RawUdp& operator=(const RawUdp&) = delete;

  void sendTo(const std::string& address, uint16_t port, ByteView datagram);
  void sendTo(const tavlo::SocketAddress& to, ByteView datagram);
  // The next datagram, or nothing within `timeout`.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next datagram and its sender.
  std::optional<std::pair<tavlo::SocketAddress, Bytes>> receiveFrom(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Accepts datagrams from address:port only (a connected UDP socket).
  void connectTo(const std::string& address, uint16_t port);
  uint16_t port() const;
  // The address as the host prints it ("127.0.0.5:40000", "[::1]:40000").
  std::string description() const;

 private:
  int fd_ = -1;
};

// One TCP connection, read and written from the test's thread.
class RawTcp {
 public:
  // Connects from `localAddress` to address:port.
  RawTcp(const std::string& localAddress, const std::string& address, uint16_t port);
  // Takes a connection accepted by a RawTcpListener.
  explicit RawTcp(int acceptedFd) : fd_(acceptedFd) {}
  ~RawTcp();
  RawTcp(const RawTcp&) = delete;
  RawTcp& operator=(const RawTcp&) = delete;

  bool connected() const { return fd_ >= 0; }
  void write(ByteView bytes);
  void write(std::string_view text);
  void writeFrame(ByteView payload) { write(muxFrame(payload)); }
  // Writes `pattern` over and over (a partial write goes on where it stopped) until `limit` bytes went
  // or the socket takes nothing more for `stall`; returns the bytes written.
  size_t writeUntilStalled(ByteView pattern, size_t limit, std::chrono::milliseconds stall);
  // Reads exactly `count` bytes; nothing on time-out or end of stream.
  std::optional<Bytes> read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next line, without its line feed.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Ends this side's writing (the peer reads the end of the stream); reading goes on.
  void closeWrite();
  // Whether the other end closed the connection (end of stream or reset) within `timeout`.
  bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::string description() const;
  void close();

 private:
  bool fill(std::chrono::milliseconds timeout);

  int fd_ = -1;
  Bytes buffered_;  // read from the socket, not yet taken
};

// A TCP port on 127.0.0.1 (chosen by the kernel) whose connections the test accepts itself.
class RawTcpListener {
 public:
  RawTcpListener();
  ~RawTcpListener();
  RawTcpListener(const RawTcpListener&) = delete;
  RawTcpListener& operator=(const RawTcpListener&) = delete;

  uint16_t port() const;
  // The next connection, or null when none comes within `timeout`.
  std::unique_ptr<RawTcp> accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether a connection waits to be accepted.
  bool hasWaiting() const;

 private:
  int fd_ = -1;
};

}  // namespace vela::testkit
