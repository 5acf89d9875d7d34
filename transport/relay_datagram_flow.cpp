#include "transport/relay_datagram_flow.hpp"

#include <array>
#include <cstring>
#include <variant>
#include <vector>

#include "platform/net/socket_address.hpp"

namespace vela {

std::optional<RelayDatagramFlow::SessionFlows> RelayDatagramFlow::openSession(ByteView token, Relay::Side side,
                                                                             const SessionParams& params) {
  static constexpr Relay::Slot slots[] = {Relay::Slot::video, Relay::Slot::audio, Relay::Slot::inputUnreliable};
  SessionFlows flows;
  for (size_t i = 0; i < flows.size(); ++i) {
    Params flowParams{params.service, i == 0 ? params.videoThread : params.thread, params.scheduler,
                      sessionBufferBytes};
    flows[i] = open(token, slots[i], side, flowParams);
    if (!flows[i]) {
      for (auto& flow : flows)
        if (flow) flow->close();
      return std::nullopt;
    }
  }
  return flows;
}

std::shared_ptr<RelayDatagramFlow> RelayDatagramFlow::open(ByteView token, Relay::Slot slot, Relay::Side side,
                                                           const Params& params) {
  auto header = RelayDatagramHeader::make(token, slot, side);
  if (!header || !params.thread || !params.scheduler || params.bufBytes < 0) return nullptr;
  tavlo::UdpSocket::ConnectOptions options;
  options.serviceClass = slot == Relay::Slot::video ? tavlo::ServiceClass::interactiveVideo
                                                     : tavlo::ServiceClass::interactiveVoice;
  options.receiveBufferBytes = params.bufBytes;
  options.sendBufferBytes = params.bufBytes;
  auto opened = tavlo::UdpSocket::openConnected(params.service.host, params.service.udpPort, options);
  auto* socket = std::get_if<std::shared_ptr<tavlo::UdpSocket>>(&opened);
  if (!socket) return nullptr;
  return std::shared_ptr<RelayDatagramFlow>(new RelayDatagramFlow(*header, std::move(*socket), params));
}

RelayDatagramFlow::~RelayDatagramFlow() { close(); }

void RelayDatagramFlow::start() {
  std::shared_ptr<tavlo::UdpSocket> socket;
  {
    std::lock_guard guard(mutex_);
    if (started_ || !socket_) return;
    started_ = true;
    socket = socket_;
  }
  std::weak_ptr<RelayDatagramFlow> weak = weak_from_this();
  socket->startReading(
      thread_,
      [weak](const tavlo::SocketAddress&, Bytes&& datagram) {
        if (auto self = weak.lock()) self->deliver(datagram);
      },
      [](int) {});  // a receive error ends nothing: the flow stays open
  send({});
  auto job = scheduler_->every(keepaliveIntervalUs, [weak] {
    if (auto self = weak.lock()) self->send({});
  });
  tavlo::ScopedTimer keepalive(*scheduler_, job);
  {
    std::lock_guard guard(mutex_);
    if (socket_) std::swap(keepalive_, keepalive);  // a close() in between cancels it on the way out
  }
}

void RelayDatagramFlow::deliver(const Bytes& datagram) {
  // The socket is drained until it is empty: a keepalive or a stranger's datagram ends nothing.
  if (auto payload = header_.payloadFor(datagram)) incoming_.send(Bytes(payload->begin(), payload->end()));
}

std::shared_ptr<tavlo::UdpSocket> RelayDatagramFlow::socket() const {
  std::lock_guard guard(mutex_);
  return socket_;
}

void RelayDatagramFlow::send(ByteView payload) {
  auto socket = this->socket();
  if (!socket) return;
  // Header and payload leave as one datagram; a relayed datagram is small enough for the stack.
  constexpr size_t inlineBytes = 2048;
  std::array<uint8_t, inlineBytes> inlineBuffer;
  Bytes heapBuffer;
  uint8_t* out = inlineBuffer.data();
  size_t total = RelayDatagramHeader::size + payload.size();
  if (total > inlineBytes) {
    heapBuffer.resize(total);
    out = heapBuffer.data();
  }
  std::memcpy(out, header_.bytes.data(), RelayDatagramHeader::size);
  if (!payload.empty()) std::memcpy(out + RelayDatagramHeader::size, payload.data(), payload.size());
  ByteView datagram(out, total);
  socket->send(std::span<const ByteView>(&datagram, 1));  // losses are silent
}

void RelayDatagramFlow::sendBatch(std::span<const ByteView> payloads) {
  if (payloads.empty()) return;
  auto socket = this->socket();
  if (!socket) return;
  // One buffer for the whole batch, so the socket layer can hand it to the kernel in one call.
  size_t total = 0;
  for (ByteView payload : payloads) total += RelayDatagramHeader::size + payload.size();
  Bytes arena(total);
  std::vector<ByteView> datagrams;
  datagrams.reserve(payloads.size());
  uint8_t* out = arena.data();
  for (ByteView payload : payloads) {
    std::memcpy(out, header_.bytes.data(), RelayDatagramHeader::size);
    if (!payload.empty()) std::memcpy(out + RelayDatagramHeader::size, payload.data(), payload.size());
    datagrams.emplace_back(out, RelayDatagramHeader::size + payload.size());
    out += RelayDatagramHeader::size + payload.size();
  }
  socket->send(datagrams);
}

void RelayDatagramFlow::close() {
  std::shared_ptr<tavlo::UdpSocket> socket;
  tavlo::ScopedTimer keepalive;
  {
    std::lock_guard guard(mutex_);
    socket = std::move(socket_);
    keepalive = std::move(keepalive_);
  }
  keepalive.cancel();
  // The descriptor closes once the receive loop has let go of it too: waiting for that means the
  // socket is closed when close() returns (unless called from a receive callback of this very flow).
  if (socket) socket->stopReadingAndWait();
  incoming_.close();
}

std::string RelayDatagramFlow::localDescription() const {
  auto socket = this->socket();
  return socket ? socket->localAddress().describe() : "?";
}

}  // namespace vela
