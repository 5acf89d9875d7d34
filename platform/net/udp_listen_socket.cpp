#include "platform/net/udp_listen_socket.hpp"

#include <map>
#include <mutex>
#include <utility>

#include "platform/net/udp_link_base.hpp"
#include "platform/net/udp_socket.hpp"

namespace tavlo {

struct UdpListenSocket::Core : std::enable_shared_from_this<Core> {
  Core(std::shared_ptr<NetThread> t, std::shared_ptr<UdpSocket> s) : thread(std::move(t)), socket(std::move(s)) {}

  void receive(const SocketAddress& from, Bytes&& datagram);  // NetThread
  void forget(const SocketAddress& address, const Peer* peer);
  void stop();

  const std::shared_ptr<NetThread> thread;
  const std::shared_ptr<UdpSocket> socket;
  const std::string localText = describeLocal();

  std::mutex mutex;  // the fields below
  std::map<SocketAddress, std::weak_ptr<Peer>> peers;
  OnPeer onPeer;
  bool accepting = false;
  bool reading = false;

 private:
  std::string describeLocal() const {
    auto address = socket->localAddress();
    return address.isEmpty() ? "?" : address.describe();
  }
};

class UdpListenSocket::Peer final : public UdpLinkBase {
 public:
  Peer(std::shared_ptr<Core> core, const SocketAddress& remote)
      : UdpLinkBase(core->thread), core_(std::move(core)), remote_(remote), remoteText_(remote.describe()) {}
  ~Peer() override { cancel(); }

  void send(std::span<const ByteView> datagrams) override {
    if (isFinal()) return;
    sendOutcome(core_->socket->send(datagrams, &remote_));
  }
  std::string localDescription() const override { return core_->localText; }
  std::string remoteDescription() const override { return remoteText_; }

 private:
  void end() override { core_->forget(remote_, this); }

  const std::shared_ptr<Core> core_;
  const SocketAddress remote_;
  const std::string remoteText_;
};

void UdpListenSocket::Core::receive(const SocketAddress& from, Bytes&& datagram) {
  std::shared_ptr<Peer> peer;
  OnPeer announce;
  {
    std::lock_guard guard(mutex);
    auto it = peers.find(from);
    if (it != peers.end()) peer = it->second.lock();
    if (!peer) {
      if (!accepting) return;  // stopped: no new peers
      peer = std::make_shared<Peer>(shared_from_this(), from);
      peers[from] = peer;
      announce = onPeer;
    }
  }
  peer->deliver(std::move(datagram));
  if (announce) announce(peer);
}

void UdpListenSocket::Core::forget(const SocketAddress& address, const Peer* peer) {
  bool close = false;
  {
    std::lock_guard guard(mutex);
    auto it = peers.find(address);
    // Only this very peer: a newer one from the same address may already have taken its place.
    if (it != peers.end()) {
      auto current = it->second.lock();
      if (!current || current.get() == peer) peers.erase(it);
    }
    close = !accepting && peers.empty() && std::exchange(reading, false);
  }
  if (close) socket->stopReading();
}

void UdpListenSocket::Core::stop() {
  bool close = false;
  {
    std::lock_guard guard(mutex);
    accepting = false;
    onPeer = nullptr;
    // Drop entries of peers already gone, then close if none is left.
    for (auto it = peers.begin(); it != peers.end();) it = it->second.expired() ? peers.erase(it) : std::next(it);
    close = peers.empty() && std::exchange(reading, false);
  }
  if (close) socket->stopReadingAndWait();
}

std::unique_ptr<UdpListenSocket> UdpListenSocket::open(std::shared_ptr<NetThread> thread, uint16_t port,
                                                       ServiceClass serviceClass) {
  auto socket = UdpSocket::openListening(port, serviceClass);
  port = socket->localAddress().port();
  auto core = std::make_shared<Core>(std::move(thread), std::move(socket));
  return std::unique_ptr<UdpListenSocket>(new UdpListenSocket(std::move(core), port));
}

UdpListenSocket::~UdpListenSocket() { stop(); }

void UdpListenSocket::start(OnPeer onPeer) {
  {
    std::lock_guard guard(core_->mutex);
    if (core_->reading) return;
    core_->onPeer = std::move(onPeer);
    core_->accepting = true;
    core_->reading = true;
  }
  std::weak_ptr<Core> weak = core_;
  core_->socket->startReading(
      core_->thread,
      [weak](const SocketAddress& from, Bytes&& datagram) {
        if (auto core = weak.lock()) core->receive(from, std::move(datagram));
      },
      [](int) {});  // an unconnected socket hears of no peer's refusal; nothing to report
}

void UdpListenSocket::stop() { core_->stop(); }

}  // namespace tavlo
