#include "transport/direct_dialer.hpp"

#include "platform/net/net_thread.hpp"
#include "platform/net/udp_link.hpp"
#include "platform/runtime/checked_number.hpp"
#include "protocol/flow_bind.hpp"
#include "transport/bsd_datagram_flow.hpp"
#include "transport/direct_session_transport.hpp"
#include "transport/transport_error.hpp"
#include "transport/with_ready.hpp"

namespace vela {
namespace {

using tavlo::ServiceClass;

constexpr uint16_t highestControlPort = 65535 - 3;

std::shared_ptr<UDPFlow> openFlow(const std::shared_ptr<tavlo::NetThread>& queue, const std::string& host,
                                  uint16_t port, ServiceClass serviceClass, const std::string& label,
                                  Channel channel, const tavlo::LogSink& diag) {
  auto flow = std::make_shared<UDPFlow>(tavlo::UdpLink::dial(queue, host, port, serviceClass), label);
  flow->setOnDiag(diag);
  withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); });
  Bytes bind = flowBindDatagram(channel);
  flow->send(bind);
  if (diag)
    diag("🔍 " + label + ": gniazdo wstało, lokalnie " + flow->localEndpointDescription() + " → " + host + ":" +
         std::to_string(port));
  return flow;
}

}  // namespace

std::shared_ptr<SessionTransport> DirectDialer::connect(const std::string& host, uint16_t controlPort) {
  if (controlPort == 0 || controlPort > highestControlPort) throw TransportError::badEndpoint();
  auto clientQueue = tavlo::NetThread::start("vela.transport.client");
  auto videoQueue = tavlo::NetThread::start("vela.transport.client.video");
  auto port = [&](int offset) { return static_cast<uint16_t>(controlPort + offset); };

  auto mux = std::make_shared<MultiplexedTCP>(
      tavlo::TcpConnection::dial(clientQueue, host, controlPort, ServiceClass::interactiveVoice));
  withReady([&](ReadyHandler handler) { mux->start(std::move(handler)); });
  // The host cancels flows that reach it before their TCP connection, and "ready" here only means
  // that the host's SYN-ACK came back: the final ACK may still be late or lost, and a bind datagram
  // would then overtake it. An empty frame, which the host's framing consumes and drops, and its
  // acknowledgement prove that the host holds the connection before any flow is announced.
  mux->send({});
  withReady([&](ReadyHandler handler) { mux->connection()->whenAcknowledged(std::move(handler)); });
  if (beforeFlows) beforeFlows();
  bool bsdVideo = settings ? settings->getBool(bsdVideoRxKey).value_or(true) : true;
  int64_t rcvBufKB = settings ? settings->getInt(bsdRcvBufKBKey).value_or(defaultRcvBufKB) : defaultRcvBufKB;

  std::shared_ptr<DatagramFlow> video;
  if (bsdVideo) {
    auto bsd = BSDDatagramFlow::create(host, port(1), tavlo::saturatingMul(rcvBufKB, 1024), videoQueue,
                                       [](const std::string& line) { tavlo::SystemLog::write("Tavlo: " + line); });
    if (bsd) {
      Bytes bind = flowBindDatagram(Channel::video);
      bsd->send(bind);
      video = bsd;
    }
  }
  if (!video) video = openFlow(videoQueue, host, port(1), ServiceClass::interactiveVideo, "video", Channel::video, diag);
  auto audio = openFlow(clientQueue, host, port(2), ServiceClass::interactiveVoice, "audio", Channel::audio, diag);
  auto input =
      openFlow(clientQueue, host, port(3), ServiceClass::interactiveVoice, "input", Channel::inputUnreliable, diag);

  auto inputBox = RebindableUDPFlow::create(input, "input");
  inputBox->setOnLog(diag);
  DirectSessionTransport::Parts parts;
  parts.mux = std::move(mux);
  parts.video = std::move(video);
  parts.audio = std::move(audio);
  parts.inputBox = std::move(inputBox);
  parts.remoteDescription = host;
  parts.rebindTarget = DirectSessionTransport::RebindTarget{host, port(3), clientQueue, diag};
  return std::make_shared<DirectSessionTransport>(std::move(parts));
}

}  // namespace vela
