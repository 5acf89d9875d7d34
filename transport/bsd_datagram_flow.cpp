#include "transport/bsd_datagram_flow.hpp"

#include <algorithm>
#include <limits>
#include <variant>

namespace vela {

using tavlo::UdpSocket;

std::shared_ptr<BSDDatagramFlow> BSDDatagramFlow::create(const std::string& host, uint16_t port, int64_t rcvBufBytes,
                                                         std::shared_ptr<tavlo::NetThread> queue, tavlo::LogSink log) {
  auto write = [&](const std::string& line) {
    if (log) log(line);
  };
  // The socket option is a 32-bit int: a larger request is clamped rather than wrapped.
  auto requested = static_cast<int>(std::clamp<int64_t>(rcvBufBytes, 0, std::numeric_limits<int32_t>::max()));
  UdpSocket::ConnectOptions options;
  options.receiveBufferBytes = requested;
  options.sendBufferBytes = 0;
  auto opened = UdpSocket::openConnected(host, port, options);
  if (auto* failure = std::get_if<UdpSocket::OpenFailure>(&opened)) {
    switch (failure->step) {
      case UdpSocket::OpenStep::resolve:
        write("🪣 BSD video rx: getaddrinfo(" + host + ":" + std::to_string(port) + ") nieudane → fallback NWConnection");
        break;
      case UdpSocket::OpenStep::socket: write("🪣 BSD video rx: socket() nieudane → fallback"); break;
      case UdpSocket::OpenStep::connect: write("🪣 BSD video rx: connect() nieudane → fallback"); break;
    }
    return nullptr;
  }
  auto socket = std::get<std::shared_ptr<UdpSocket>>(std::move(opened));
  auto flow = std::shared_ptr<BSDDatagramFlow>(new BSDDatagramFlow(socket));
  // The receive loop holds only the stream: a flow that goes away stops it and closes the socket.
  socket->startReading(
      std::move(queue),
      [stream = flow->incoming_](const tavlo::SocketAddress&, Bytes&& datagram) {
        if (!datagram.empty()) stream->send(std::move(datagram));
      },
      [](int) {});
  write("🪣 BSD video rx AKTYWNE: SO_RCVBUF żądane=" + std::to_string(requested / 1024) +
        "KB efekt=" + std::to_string(flow->grantedReceiveBufferBytes_ / 1024) + "KB fd=" + std::to_string(flow->fd_));
  return flow;
}

BSDDatagramFlow::BSDDatagramFlow(std::shared_ptr<UdpSocket> socket)
    : fd_(socket->fd()),
      grantedReceiveBufferBytes_(socket->grantedReceiveBufferBytes()),
      incoming_(std::make_shared<PacketStream>(incomingLimit)),
      socket_(std::move(socket)) {}

BSDDatagramFlow::~BSDDatagramFlow() { close(); }

void BSDDatagramFlow::send(ByteView datagram) { sendBatch(std::span<const ByteView>(&datagram, 1)); }

void BSDDatagramFlow::sendBatch(std::span<const ByteView> datagrams) {
  std::shared_ptr<UdpSocket> socket;
  {
    std::lock_guard guard(mutex_);
    socket = socket_;
  }
  if (socket && !datagrams.empty()) socket->send(datagrams);  // a refused datagram is lost without notice
}

void BSDDatagramFlow::close() {
  std::shared_ptr<UdpSocket> socket;
  {
    std::lock_guard guard(mutex_);
    socket = std::move(socket_);
  }
  if (socket) socket->stopReading();
  incoming_->close();
}

}  // namespace vela
