#include "platform/net/udp_link.hpp"

#include <cerrno>
#include <system_error>

#include "platform/net/udp_link_base.hpp"
#include "platform/net/udp_socket.hpp"

namespace tavlo {
namespace {

bool isPathError(int error) {
  return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH || error == ENETDOWN ||
         error == EHOSTDOWN || error == EADDRNOTAVAIL;
}

// The client's socket, connected to one host address.
class DialledLink final : public UdpLinkBase {
 public:
  DialledLink(std::shared_ptr<NetThread> thread, UdpSocket::Opened opened)
      : UdpLinkBase(std::move(thread)), opened_(std::move(opened)) {}
  ~DialledLink() override { cancel(); }

  void send(std::span<const ByteView> datagrams) override {
    if (isFinal() || !socket()) return;
    sendOutcome(socket()->send(datagrams));
  }
  std::string localDescription() const override {
    auto address = socket() ? socket()->localAddress() : SocketAddress{};
    return address.isEmpty() ? "?" : address.describe();
  }
  std::string remoteDescription() const override {
    auto address = socket() ? socket()->remoteAddress() : SocketAddress{};
    return address.isEmpty() ? "?" : address.describe();
  }

 private:
  const std::shared_ptr<UdpSocket>& socket() const {
    static const std::shared_ptr<UdpSocket> none;
    auto* s = std::get_if<std::shared_ptr<UdpSocket>>(&opened_);
    return s ? *s : none;
  }

  std::string begin() override {
    if (auto* failure = std::get_if<UdpSocket::OpenFailure>(&opened_)) return failure->error;
    std::weak_ptr<UdpLinkBase> weak = shared_from_this();
    socket()->startReading(
        thread(),
        [weak](const SocketAddress&, Bytes&& datagram) {
          if (auto self = weak.lock()) self->deliver(std::move(datagram));
        },
        [weak](int error) {
          if (auto self = weak.lock()) self->receiveError(error);
        });
    return {};
  }
  void end() override {
    if (socket()) socket()->stopReading();
  }

  const UdpSocket::Opened opened_;
};

}  // namespace

void UdpLinkBase::start(OnState onState, OnDatagram onDatagram) {
  auto self = shared_from_this();
  // Started from its own thread (a listener taking a new peer in the middle of a drain), the link
  // starts at once, so the datagrams that follow in the same drain go straight to their owner.
  auto job = [self, onState = std::move(onState), onDatagram = std::move(onDatagram)]() mutable {
    if (self->started_ || self->finalEmitted_) return;
    self->started_ = true;
    self->onState_ = std::move(onState);
    self->onDatagram_ = std::move(onDatagram);
    if (self->pendingFinal_) {  // cancelled before it was started
      self->finish(*self->pendingFinal_, {});
      return;
    }
    if (self->isFinal()) return;  // the cancel job, queued behind this one, reports it
    std::string failure = self->begin();
    if (!failure.empty()) {
      self->final_.store(true, std::memory_order_release);
      self->finish(State::failed, failure);
      return;
    }
    self->emit(State::ready, {});
    while (!self->unstarted_.empty() && !self->isFinal()) {
      Bytes datagram = std::move(self->unstarted_.front());
      self->unstarted_.pop_front();
      if (self->onDatagram_) self->onDatagram_(std::move(datagram));
    }
    self->unstarted_.clear();
  };
  if (thread_->isCurrent()) {
    job();
  } else {
    thread_->post(std::move(job));
  }
}

void UdpLinkBase::cancel() {
  if (final_.exchange(true, std::memory_order_acq_rel)) return;
  end();
  std::weak_ptr<UdpLinkBase> weak = weak_from_this();
  thread_->post([weak] {
    if (auto self = weak.lock()) self->finish(State::cancelled, {});
  });
}

void UdpLinkBase::finish(State state, const std::string& error) {
  if (finalEmitted_) return;
  if (!started_) {
    pendingFinal_ = state;
    return;
  }
  finalEmitted_ = true;
  OnState onState = std::move(onState_);
  // Handlers may hold their owners; nothing more is delivered, so let go of them.
  onState_ = nullptr;
  onDatagram_ = nullptr;
  unstarted_.clear();
  if (onState) onState(state, error);
}

void UdpLinkBase::deliver(Bytes&& datagram) {
  if (isFinal()) return;
  if (!started_ || !onDatagram_) {
    if (started_) return;
    if (unstarted_.size() >= unstartedQueueLimit) unstarted_.pop_front();
    unstarted_.push_back(std::move(datagram));
    return;
  }
  leaveWaiting();
  onDatagram_(std::move(datagram));
}

void UdpLinkBase::receiveError(int error) {
  if (isPathError(error)) enterWaiting(error);
}

void UdpLinkBase::sendOutcome(const DatagramBatchResult& result) {
  if (result.firstError != 0 && isPathError(result.firstError)) {
    enterWaiting(result.firstError);
  } else if (result.sent > 0) {
    leaveWaiting();
  }
}

// The waiting state changes on the link's thread only, in the order things happened there; senders
// on other threads hand their outcome over, and a success is handed over only while the link is
// (or is about to be) waiting, so the hot path costs one relaxed load.
void UdpLinkBase::enterWaiting(int error) {
  std::string text = std::generic_category().message(error);
  auto change = [weak = weak_from_this(), text] {
    auto self = weak.lock();
    if (!self || self->waiting_) return;
    self->waiting_ = true;
    self->waitingHint_.store(true, std::memory_order_relaxed);
    self->emit(State::waiting, text);
  };
  if (thread_->isCurrent()) {
    change();
  } else {
    waitingHint_.store(true, std::memory_order_relaxed);
    thread_->post(std::move(change));
  }
}

void UdpLinkBase::leaveWaiting() {
  if (!waitingHint_.load(std::memory_order_relaxed)) return;
  auto change = [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->waiting_) return;
    self->waiting_ = false;
    self->waitingHint_.store(false, std::memory_order_relaxed);
    self->emit(State::ready, {});
  };
  if (thread_->isCurrent()) {
    change();
  } else {
    thread_->post(std::move(change));
  }
}

void UdpLinkBase::emit(State state, const std::string& error) {
  if (isFinal() || !onState_) return;
  OnState onState = onState_;  // the handler may cancel the link, which must not destroy it mid-call
  onState(state, error);
}

std::shared_ptr<UdpLink> UdpLink::dial(std::shared_ptr<NetThread> thread, const std::string& host, uint16_t port,
                                       ServiceClass serviceClass) {
  UdpSocket::ConnectOptions options;
  options.serviceClass = serviceClass;
  return std::make_shared<DialledLink>(std::move(thread), UdpSocket::openConnected(host, port, options));
}

}  // namespace tavlo
