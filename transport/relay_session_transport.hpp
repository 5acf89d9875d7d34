#pragma once
// One relayed session: the two reliable channels ride on the TCP multiplex over the connection that
// the relay service joined to the peer, the three datagram channels are relay datagram flows. Built
// by the host's relay link for each session notice and by the client's relay dialer. It cannot rebind
// its input flow; its remote description ("relay/…") is the only mark of the relay path.
#include <array>
#include <memory>
#include <string>

#include "protocol/transport_interfaces.hpp"
#include "transport/multiplexed_tcp.hpp"
#include "transport/relay_datagram_flow.hpp"
#include "transport/tcp_reliable_channel.hpp"

namespace vela {

class RelaySessionTransport final : public SessionTransport {
 public:
  // `mux` and the three flows (video, audio, unreliable input) are already started.
  RelaySessionTransport(std::shared_ptr<MultiplexedTCP> mux, std::array<std::shared_ptr<RelayDatagramFlow>, 3> flows,
                        std::string remoteDescription);
  // Closes: a transport released without close() still takes its connection and sockets with it.
  ~RelaySessionTransport() override;

  ReliableChannel& control() override { return control_; }
  ReliableChannel& inputReliable() override { return inputReliable_; }
  DatagramFlow& video() override { return *flows_[0]; }
  DatagramFlow& audio() override { return *flows_[1]; }
  DatagramFlow& inputUnreliable() override { return *flows_[2]; }
  std::string remoteDescription() const override { return remoteDescription_; }

  // Cancels the join connection, finishes both reliable streams and closes the three flows. A second
  // call changes nothing.
  void close() override;

  const std::shared_ptr<MultiplexedTCP>& mux() const { return mux_; }

 private:
  const std::shared_ptr<MultiplexedTCP> mux_;
  const std::array<std::shared_ptr<RelayDatagramFlow>, 3> flows_;
  const std::string remoteDescription_;
  TCPReliableChannel control_;
  TCPReliableChannel inputReliable_;
};

}  // namespace vela
