#include "host/reachability/probe_responder.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

#include "protocol/session_messages.hpp"
#include "protocol/wire_error.hpp"
#include "protocol/wire_payload.hpp"

namespace tavlo {
namespace {

std::string numericHost(const SocketAddress& from) {
  char text[INET6_ADDRSTRLEN] = {};
  if (from.family() == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(from.get())->sin_addr, text, sizeof text);
  return text;
}

// One datagram: the answer to send back, if it is a probe for this host from an allowed peer.
std::optional<Bytes> answerFor(ByteView datagram, const Uuid& hostID) {
  try {
    auto packet = vela::RawPacket::decode(datagram);
    if (packet.header.channel != vela::Channel::control || packet.header.msgType != vela::Probe::msgType)
      return std::nullopt;
    auto probe = packet.decodePayload<vela::Probe>();
    if (probe.hostID != hostID) return std::nullopt;  // aimed at another host sharing the address
    return vela::encodePacket(vela::ProbeAck{hostID, probe.nonce}, 0, 0);
  } catch (const vela::WireError&) {
    return std::nullopt;
  }
}

}  // namespace

ProbeResponder::ProbeResponder(Uuid hostID, AllowPeer allowPeer, LogSink onLog)
    : hostID_(hostID), allowPeer_(std::move(allowPeer)), onLog_(std::move(onLog)) {}

ProbeResponder::~ProbeResponder() { stop(); }

void ProbeResponder::start(uint16_t port) {
  auto log = [&](const std::string& line) {
    if (onLog_) onLog_(line);
  };
  auto bound = UdpSocket::tryOpenBound("0.0.0.0", port, ServiceClass::bestEffort);
  if (auto* failure = std::get_if<UdpSocket::BindFailure>(&bound)) {
    if (failure->atSocket) return log("🛰 probe: socket() fail");
    return log("🛰 probe: bind " + std::to_string(port) + " fail (errno " + std::to_string(failure->errorNumber) + ")");
  }
  auto socket = std::get<std::shared_ptr<UdpSocket>>(std::move(bound));
  {
    std::lock_guard guard(mutex_);
    socket_ = socket;
  }
  std::weak_ptr<UdpSocket> weakSocket = socket;
  socket->startReading(
      NetThread::start("vela.probe.responder"),
      [weakSocket, hostID = hostID_, allowPeer = allowPeer_](const SocketAddress& from, Bytes&& datagram) {
        if (datagram.empty()) return;
        if (allowPeer && !allowPeer(numericHost(from))) return;
        ByteView head(datagram.data(), std::min(datagram.size(), receiveLimitBytes));
        auto answer = answerFor(head, hostID);
        auto socket = weakSocket.lock();
        if (!answer || !socket) return;
        ByteView out(*answer);
        (void)socket->send(std::span<const ByteView>(&out, 1), &from);
      },
      [](int) {});
  log("🛰 probe responder na UDP " + std::to_string(port) + " (żywotność pre-sesyjna)");
}

void ProbeResponder::stop() {
  std::shared_ptr<UdpSocket> socket;
  {
    std::lock_guard guard(mutex_);
    socket = std::move(socket_);
  }
  if (socket) socket->stopReadingAndWait();
}

bool ProbeResponder::isRunning() const {
  std::lock_guard guard(mutex_);
  return socket_ != nullptr;
}

}  // namespace tavlo
