#include "transport/udp_flow.hpp"

namespace vela {

using tavlo::UdpLink;

UDPFlow::UDPFlow(std::shared_ptr<UdpLink> connection, std::string label, size_t holdLimit)
    : connection_(std::move(connection)), label_(std::move(label)), incoming_(holdLimit) {}

UDPFlow::~UDPFlow() { connection_->cancel(); }

void UDPFlow::start(ReadyHandler readyHandler) {
  {
    std::lock_guard guard(mutex_);
    readyHandler_ = std::move(readyHandler);
  }
  std::weak_ptr<UDPFlow> weak = weak_from_this();
  connection_->start(
      [weak](UdpLink::State state, const std::string& error) {
        if (auto self = weak.lock()) self->handleState(state, error);
      },
      [weak](Bytes&& datagram) {
        if (auto self = weak.lock()) self->handleDatagram(std::move(datagram));
      });
}

void UDPFlow::setOnDiag(tavlo::LogSink onDiag) {
  std::lock_guard guard(mutex_);
  onDiag_ = std::move(onDiag);
}

void UDPFlow::diag(const std::string& line) const {
  tavlo::LogSink sink;
  {
    std::lock_guard guard(mutex_);
    sink = onDiag_;
  }
  if (sink) sink(line);
}

void UDPFlow::handleState(UdpLink::State state, const std::string& error) {
  ReadyHandler handler;
  {
    std::lock_guard guard(mutex_);
    handler = readyHandler_;
  }
  switch (state) {
    case UdpLink::State::waiting:
      diag("🔍 " + label_ + ": .waiting(" + error + ") — wysyłka stoi");
      return;
    case UdpLink::State::ready:
      if (wasReady_) {
        diag("🔍 " + label_ + ": ponownie .ready (lokalnie " + localEndpointDescription() + ")");
        return;
      }
      wasReady_ = true;
      if (handler) handler(true);
      return;
    case UdpLink::State::failed:
      diag("🔍 " + label_ + ": .failed(" + error + ")");
      end();
      if (handler) handler(false);
      return;
    case UdpLink::State::cancelled:
      end();
      if (handler) handler(false);
      return;
  }
}

void UDPFlow::handleDatagram(Bytes&& datagram) {
  if (datagram.empty() || ended_) return;  // an empty datagram carries nothing; the flow goes on
  if (forward_.datagram) {
    forward_.datagram(std::move(datagram));
  } else {
    incoming_.send(std::move(datagram));
  }
}

void UDPFlow::end() {
  if (ended_) return;
  ended_ = true;
  incoming_.close();
  Forward forward = std::move(forward_);
  forward_ = {};
  if (forward.ended) forward.ended();
}

void UDPFlow::send(ByteView datagram) { connection_->send(std::span<const ByteView>(&datagram, 1)); }

void UDPFlow::sendBatch(std::span<const ByteView> datagrams) {
  if (!datagrams.empty()) connection_->send(datagrams);
}

void UDPFlow::close() {
  connection_->cancel();
  // The cancelled state finishes the stream on the flow's thread; finish it now as well, so that a
  // consumer never waits on a closed flow.
  incoming_.close();
}

void UDPFlow::forwardTo(Forward forward) {
  auto self = shared_from_this();
  // On the flow's thread the switch happens at once; from elsewhere it is queued behind the
  // deliveries already under way, which then wait in incoming() and are forwarded first.
  auto job = [self, forward = std::move(forward)]() mutable {
    while (auto waiting = self->incoming_.tryReceive()) {
      if (forward.datagram) forward.datagram(std::move(*waiting));
    }
    if (self->ended_) {
      if (forward.ended) forward.ended();
      return;
    }
    self->forward_ = std::move(forward);
  };
  if (connection_->thread()->isCurrent()) {
    job();
  } else {
    connection_->thread()->post(std::move(job));
  }
}

}  // namespace vela
