#pragma once
// The client's video receive path: a UDP socket connected to the host with an enlarged receive buffer,
// drained completely on every readiness event. Client side only; the host never creates one.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/net/net_thread.hpp"
#include "platform/net/udp_socket.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela {

class BSDDatagramFlow final : public DatagramFlow {
 public:
  // Datagrams held for a consumer that stalls; beyond it the oldest are dropped.
  static constexpr size_t incomingLimit = 4096;

  // Resolves `host`, connects a socket to the first address, asks for `rcvBufBytes` of receive buffer
  // (clamped to what the socket option can carry) and starts reading on `queue`. Returns null, with one
  // line to `log`, when resolving, creating or connecting the socket fails.
  static std::shared_ptr<BSDDatagramFlow> create(const std::string& host, uint16_t port, int64_t rcvBufBytes,
                                                 std::shared_ptr<tavlo::NetThread> queue, tavlo::LogSink log);
  ~BSDDatagramFlow() override;  // close()

  void send(ByteView datagram) override;
  void sendBatch(std::span<const ByteView> datagrams) override;
  PacketStream& incoming() override { return *incoming_; }
  void close() override;

  int fd() const { return fd_; }
  int grantedReceiveBufferBytes() const { return grantedReceiveBufferBytes_; }

 private:
  BSDDatagramFlow(std::shared_ptr<tavlo::UdpSocket> socket);

  const int fd_;
  const int grantedReceiveBufferBytes_;
  const std::shared_ptr<PacketStream> incoming_;
  mutable std::mutex mutex_;  // socket_
  std::shared_ptr<tavlo::UdpSocket> socket_;  // empty once closed
};

}  // namespace vela
