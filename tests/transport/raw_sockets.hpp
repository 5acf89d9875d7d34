#pragma once
// Plain sockets that script a client byte by byte: the host's view of a peer without any of our own
// transport code on the peer's side.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace vela::testkit {

using tavlo::Bytes;
using tavlo::ByteView;

// A UDP socket bound to `localAddress` (port chosen by the kernel).
class RawUdp {
 public:
  explicit RawUdp(const std::string& localAddress = "127.0.0.1", uint16_t localPort = 0);
  ~RawUdp();
  RawUdp(const RawUdp&) = delete;
  RawUdp& operator=(const RawUdp&) = delete;

  void sendTo(const std::string& address, uint16_t port, ByteView datagram);
  // The next datagram, or nothing within `timeout`.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Accepts datagrams from address:port only (a connected UDP socket).
  void connectTo(const std::string& address, uint16_t port);
  uint16_t port() const;
  // The address as the host prints it ("127.0.0.5:40000", "[::1]:40000").
  std::string description() const;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A TCP connection from `localAddress` to address:port, connected when constructed.
class RawTcp {
 public:
  RawTcp(const std::string& localAddress, const std::string& address, uint16_t port);
  ~RawTcp();
  RawTcp(const RawTcp&) = delete;
  RawTcp& operator=(const RawTcp&) = delete;

  bool connected() const { return fd_ >= 0; }
  void write(ByteView bytes);
  // One frame of the multiplex: length, then the payload.
  void writeFrame(ByteView payload);
  // Writes `pattern` over and over (a partial write goes on where it stopped) until `limit` bytes went
  // or the socket takes nothing more for `stall`; returns the bytes written.
  size_t writeUntilStalled(ByteView pattern, size_t limit, std::chrono::milliseconds stall);
  // Reads exactly `count` bytes; nothing on time-out or end of stream.
  std::optional<Bytes> read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether the host closed the connection (end of stream or reset) within `timeout`.
  bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::string description() const;
  void close();

 private:
  int fd_ = -1;
};

}  // namespace vela::testkit
