#pragma once
// One client's five channels over the direct path: one TCP connection (control and reliable input,
// through the multiplexer) and three UDP flows. On the host the listener builds it and hands it late
// UDP flows for adoption; on the client the dialer builds it and the client may rebind its input flow.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/net/net_thread.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/multiplexed_tcp.hpp"
#include "transport/rebindable_udp_flow.hpp"
#include "transport/tcp_reliable_channel.hpp"
#include "transport/udp_flow.hpp"

namespace vela {

// The host listener's UDP slots; the names are also the flows' labels.
enum class Slot : uint8_t { video = 0, audio = 1, inputUnreliable = 2 };
const char* slotName(Slot slot);

class DirectSessionTransport final : public RebindableTransport {
 public:
  // Where the client's input rebind opens its fresh flow.
  struct RebindTarget {
    std::string host;
    uint16_t port = 0;
    std::shared_ptr<tavlo::NetThread> queue;
    tavlo::LogSink diag;
  };
  struct Parts {
    std::shared_ptr<MultiplexedTCP> mux;
    std::shared_ptr<DatagramFlow> video;  // on the host the video box itself
    std::shared_ptr<DatagramFlow> audio;  // on the host the audio box itself
    std::shared_ptr<RebindableUDPFlow> videoBox;  // host only
    std::shared_ptr<RebindableUDPFlow> audioBox;  // host only
    std::shared_ptr<RebindableUDPFlow> inputBox;  // always
    std::string remoteDescription;
    std::optional<RebindTarget> rebindTarget;  // client only
  };

  explicit DirectSessionTransport(Parts parts);

  ReliableChannel& control() override { return control_; }
  ReliableChannel& inputReliable() override { return inputReliable_; }
  DatagramFlow& video() override { return *video_; }
  DatagramFlow& audio() override { return *audio_; }
  DatagramFlow& inputUnreliable() override { return *inputBox_; }
  std::string remoteDescription() const override { return remoteDescription_; }
  // Closes the TCP connection and the three flows and finishes all five streams; repeatable.
  void close() override;
  // Client only: opens a fresh input flow, sends its bind datagram and makes it the primary at once.
  // False on the host, after close(), or when the new flow fails before it is ready.
  bool rebindInputFlow() override;

  // Host: hands a late UDP flow to the slot's box as a candidate that must prove the session key.
  void adopt(Slot slot, std::shared_ptr<UDPFlow> child, const std::string& remote);
  bool isClosed() const;

  // The boxes, for the encrypting wrapper's verifiers and for diagnostics.
  const std::shared_ptr<RebindableUDPFlow>& videoBox() const { return videoBox_; }
  const std::shared_ptr<RebindableUDPFlow>& audioBox() const { return audioBox_; }
  const std::shared_ptr<RebindableUDPFlow>& inputBox() const { return inputBox_; }
  const std::shared_ptr<MultiplexedTCP>& mux() const { return mux_; }

 private:
  const std::shared_ptr<MultiplexedTCP> mux_;
  TCPReliableChannel control_;
  TCPReliableChannel inputReliable_;
  const std::shared_ptr<DatagramFlow> video_;
  const std::shared_ptr<DatagramFlow> audio_;
  const std::shared_ptr<RebindableUDPFlow> videoBox_;
  const std::shared_ptr<RebindableUDPFlow> audioBox_;
  const std::shared_ptr<RebindableUDPFlow> inputBox_;
  const std::string remoteDescription_;

  mutable std::mutex mutex_;  // closed_, rebindTarget_
  bool closed_ = false;
  std::optional<RebindTarget> rebindTarget_;
};

}  // namespace vela
