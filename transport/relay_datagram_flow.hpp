#pragma once
// One datagram slot (video, audio or unreliable input) of a relayed session: a UDP socket connected to
// the relay service's datagram port. Every payload leaves behind the session's 22-byte relay header; a
// bare header every second keeps the service's binding of this flow's address alive; only datagrams
// of this session and slot sent by the other side are delivered, without their header.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/net_thread.hpp"
#include "platform/net/udp_socket.hpp"
#include "platform/runtime/scheduler.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/relay.hpp"
#include "transport/relay_datagram_header.hpp"

namespace vela {

class RelayDatagramFlow final : public DatagramFlow, public std::enable_shared_from_this<RelayDatagramFlow> {
 public:
  // The default datagram size less the relay header: what a relayed datagram carries whole.
  static constexpr int maxRelayedDatagramSize = defaultMaxDatagramSize - static_cast<int>(RelayDatagramHeader::size);
  static constexpr uint64_t keepaliveIntervalUs = 1'000'000;
  // Received payloads held for a consumer that stalls; beyond it the oldest are dropped (media).
  static constexpr size_t incomingLimit = 4096;
  // Socket buffers of both sides of a relayed session: a keyframe burst must not be lost in the socket.
  static constexpr int sessionBufferBytes = 4 * 1024 * 1024;

  struct Params {
    RelayService service;
    std::shared_ptr<tavlo::NetThread> thread;  // receives run here
    tavlo::Scheduler* scheduler = nullptr;     // keepalives run here; must outlive the flow
    int bufBytes = sessionBufferBytes;         // receive and send buffer
  };

  // Resolves the service (first address only), opens and connects the socket; null when the token is
  // not 16 bytes or any step fails. Sends nothing and starts nothing.
  static std::shared_ptr<RelayDatagramFlow> open(ByteView token, Relay::Slot slot, Relay::Side side,
                                                 const Params& params);

  // The three flows of one relayed session (video, audio, unreliable input), video receiving on its own
  // thread; nullopt, with whatever was opened closed again, when any of them cannot be opened.
  using SessionFlows = std::array<std::shared_ptr<RelayDatagramFlow>, 3>;
  struct SessionParams {
    RelayService service;
    std::shared_ptr<tavlo::NetThread> videoThread;
    std::shared_ptr<tavlo::NetThread> thread;  // audio and input
    tavlo::Scheduler* scheduler = nullptr;
  };
  static std::optional<SessionFlows> openSession(ByteView token, Relay::Side side, const SessionParams& params);
  // Closes: a flow dropped without close(), started or not, takes its socket with it.
  ~RelayDatagramFlow() override;

  // Begins receiving, sends one bare header at once (so the service learns the address) and then
  // one every second. Called once, after the session's three flows exist.
  void start();

  int maxDatagramSize() const override { return maxRelayedDatagramSize; }
  void send(ByteView payload) override;
  void sendBatch(std::span<const ByteView> payloads) override;
  PacketStream& incoming() override { return incoming_; }
  // Stops the keepalives and the receiving, closes the socket and finishes incoming. Repeatable.
  void close() override;

  const RelayDatagramHeader& header() const { return header_; }
  // The socket's local address, for tests ("?" once closed).
  std::string localDescription() const;

 private:
  RelayDatagramFlow(const RelayDatagramHeader& header, std::shared_ptr<tavlo::UdpSocket> socket, const Params& params)
      : header_(header), thread_(params.thread), scheduler_(params.scheduler), socket_(std::move(socket)) {}

  std::shared_ptr<tavlo::UdpSocket> socket() const;
  void deliver(const Bytes& datagram);  // NetThread

  const RelayDatagramHeader header_;
  const std::shared_ptr<tavlo::NetThread> thread_;
  tavlo::Scheduler* const scheduler_;
  PacketStream incoming_{incomingLimit};

  mutable std::mutex mutex_;  // the fields below
  std::shared_ptr<tavlo::UdpSocket> socket_;  // null once closed
  tavlo::ScopedTimer keepalive_;
  bool started_ = false;
};

}  // namespace vela
