#pragma once
// The ReliableChannel view of one of a multiplexer's two streams. Both channels of one multiplexer
// write to the same connection in call order and report the same outstanding bytes.
#include <memory>

#include "protocol/transport_interfaces.hpp"
#include "transport/multiplexed_tcp.hpp"

namespace vela {

class TCPReliableChannel final : public ReliableChannel {
 public:
  // `incoming` is one of the mux's streams (controlStream for control, inputStream for reliable input).
  TCPReliableChannel(std::shared_ptr<MultiplexedTCP> mux, PacketStream& incoming)
      : mux_(std::move(mux)), incoming_(incoming) {}

  void send(ByteView packet) override { mux_->send(packet); }
  PacketStream& incoming() override { return incoming_; }
  int64_t outstandingBytes() const override { return mux_->outstanding(); }

 private:
  const std::shared_ptr<MultiplexedTCP> mux_;
  PacketStream& incoming_;
};

}  // namespace vela
