#pragma once
// A DatagramFlow over one UDP link: on the host, one remote address of a listening port; on the
// client, a socket connected to the host. Reports the link's state changes as diagnostic lines when
// its owner asks for them.
#include <memory>
#include <mutex>
#include <string>

#include "platform/net/udp_link.hpp"
#include "platform/runtime/system_log.hpp"
#include "transport/forwardable_flow.hpp"
#include "transport/with_ready.hpp"

namespace vela {

class UDPFlow final : public ForwardableFlow, public std::enable_shared_from_this<UDPFlow> {
 public:
  // Datagrams held for a consumer that stalls; beyond it the oldest are dropped (media, not state).
  static constexpr size_t incomingLimit = 4096;

  // `connection` is not started here. `label` names the flow in log lines. `holdLimit` bounds the
  // datagrams waiting in incoming() (oldest dropped first); each is at most a receive slot
  // (UdpSocket::receiveSlotBytes), so it bounds their bytes as well.
  UDPFlow(std::shared_ptr<tavlo::UdpLink> connection, std::string label, size_t holdLimit = incomingLimit);
  // Cancels the connection: a flow that goes away, started or not, closes its socket.
  ~UDPFlow() override;

  // Starts the connection. `readyHandler` hears true when it is first ready, false when it fails or is
  // cancelled; a later return to ready is only logged.
  void start(ReadyHandler readyHandler);
  // Diagnostic lines ("🔍 ..."); none while unset.
  void setOnDiag(tavlo::LogSink onDiag);
  // The printed local address of the socket, "?" when it has none.
  std::string localEndpointDescription() const { return connection_->localDescription(); }
  std::string remoteEndpointDescription() const { return connection_->remoteDescription(); }
  const std::string& label() const { return label_; }

  void send(ByteView datagram) override;
  void sendBatch(std::span<const ByteView> datagrams) override;
  PacketStream& incoming() override { return incoming_; }
  void close() override;
  void forwardTo(Forward forward) override;

 private:
  void handleState(tavlo::UdpLink::State state, const std::string& error);  // NetThread
  void handleDatagram(Bytes&& datagram);                                    // NetThread
  void end();                                                               // NetThread
  void diag(const std::string& line) const;

  const std::shared_ptr<tavlo::UdpLink> connection_;
  const std::string label_;
  PacketStream incoming_;

  mutable std::mutex mutex_;  // onDiag_, readyHandler_
  tavlo::LogSink onDiag_;
  ReadyHandler readyHandler_;

  // NetThread only:
  bool wasReady_ = false;
  bool ended_ = false;
  Forward forward_;
};

}  // namespace vela
