#include "tools/relay/relay_server.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "platform/net/net_thread.hpp"
#include "platform/net/socket_address.hpp"
#include "platform/net/tcp_listen_socket.hpp"
#include "platform/net/udp_socket.hpp"
#include "platform/runtime/random.hpp"
#include "tools/relay/relay_forwarder.hpp"
#include "tools/relay/relay_registry.hpp"
#include "transport/peer_address_key.hpp"
#include "transport/relay_datagram_header.hpp"
#include "transport/relay_line_buffer.hpp"

namespace tavlo::relay {

using ConnectionId = RelayRegistry::ConnectionId;

struct RelayServer::Core : std::enable_shared_from_this<Core> {
  struct Connection {
    std::shared_ptr<TcpConnection> socket;
    std::string address;  // the peer's key in the per-address cap (its IP address, an IPv6 one by its /64)
    vela::RelayLineBuffer lines;
    std::optional<ConnectionId> partner;  // set once spliced: bytes are piped, not read as lines
  };

  explicit Core(Options o)
      : options(std::move(o)),
        thread(NetThread::start("tavlo.relay")),
        state(options.stateFile, options.log),
        registry(SystemRandom::shared(), state) {}

  // All below on `thread`.
  void accepted(std::shared_ptr<TcpConnection> socket) {
    ++counters.connections;
    const std::string ip = vela::ipPart(socket->remoteDescription());
    std::string address = vela::peerAddressKey(socket->remoteDescription());
    auto known = perAddress.find(address);
    const size_t fromAddress = known == perAddress.end() ? 0 : known->second;
    if (connections.size() >= options.maxConnections || fromAddress >= options.maxConnectionsPerAddress) {
      // One line for the first refusal and one per thousand after it: a flood must not flood the log.
      if (counters.refusedConnections++ % 1000 == 0) {
        log("relay: za dużo połączeń (" + std::to_string(connections.size()) + " razem, " +
            std::to_string(fromAddress) + " z " + address + "), zamykam; odrzucone dotąd: " +
            std::to_string(counters.refusedConnections));
      }
      socket->cancel();
      return;
    }
    perAddress[address] += 1;
    ConnectionId id = nextId++;
    socket->start([](TcpConnection::State, const std::string&) {});
    connections[id] = Connection{socket, address, {}, std::nullopt};
    watchFirstLine(id);  // timed from before the challenge leaves: a peer that has it is being timed
    apply(registry.opened(id, ip));
    readNext(id);
  }

  // A peer that connects and never says what it is holds a descriptor and memory for nothing.
  void watchFirstLine(ConnectionId id) {
    if (!options.scheduler) return;
    std::weak_ptr<Core> weak = weak_from_this();
    options.scheduler->after(options.firstLineTimeoutUs, [weak, id] {
      auto self = weak.lock();
      if (!self) return;
      self->thread->post([weak, id] {
        auto core = weak.lock();
        if (!core || !core->connections.contains(id) || !core->registry.awaitsFirstLine(id)) return;
        ++core->counters.silentConnections;
        core->log("relay: połączenie " + std::to_string(id) + " bez pierwszej linii, zamykam");
        core->close(id);
      });
    });
  }

  void readNext(ConnectionId id) {
    auto found = connections.find(id);
    if (found == connections.end()) return;
    std::weak_ptr<Core> weak = weak_from_this();
    found->second.socket->receive([weak, id](ByteView data, bool peerClosed, const std::string& error) {
      if (auto self = weak.lock()) self->received(id, data, peerClosed || !error.empty());
    });
  }

  void received(ConnectionId id, ByteView data, bool ended) {
    if (!connections.contains(id)) return;
    if (data.empty()) {
      if (ended) close(id);
      else readNext(id);
      return;
    }
    if (auto partner = connections[id].partner) return pipe(id, *partner, Bytes(data.begin(), data.end()), true);
    connections[id].lines.append(data);
    while (true) {
      auto found = connections.find(id);
      if (found == connections.end()) return;
      Connection& connection = found->second;
      if (connection.partner) {
        // Spliced by this very line: what came behind it belongs to the peer.
        Bytes rest = connection.lines.takeRemaining();
        if (!rest.empty()) return pipe(id, *connection.partner, std::move(rest), true);
        break;
      }
      std::optional<std::string> line = connection.lines.nextLine();
      if (!line) {
        if (connection.lines.overflowed()) {
          log("relay: linia dłuższa niż " + std::to_string(vela::RelayLineBuffer::maxLineBytes) + " B, zamykam");
          return close(id);
        }
        break;
      }
      apply(registry.received(id, *line));
    }
    readNext(id);
  }

  // Hands bytes of `from` to its partner; `from` is read again once the partner's socket took them.
  void pipe(ConnectionId from, ConnectionId to, Bytes bytes, bool thenRead) {
    auto target = connections.find(to);
    if (target == connections.end()) return close(from);
    std::weak_ptr<Core> weak = weak_from_this();
    target->second.socket->send(std::move(bytes), [weak, from, thenRead] {
      auto self = weak.lock();
      if (self && thenRead) self->readNext(from);
    });
  }

  void apply(RelayRegistry::Actions actions) {
    for (const std::string& line : actions.log) log(line);
    std::weak_ptr<Core> weak = weak_from_this();
    for (size_t i = 0; i < actions.sends.size(); ++i) {
      const auto& send = actions.sends[i];
      auto target = connections.find(send.to);
      if (target == connections.end()) continue;
      // A connection closed by the same answer is closed once that answer has left.
      bool closesAfter = std::find(actions.closes.begin(), actions.closes.end(), send.to) != actions.closes.end();
      bool lastToIt = std::none_of(actions.sends.begin() + static_cast<std::ptrdiff_t>(i) + 1, actions.sends.end(),
                                   [&](const auto& later) { return later.to == send.to; });
      std::function<void()> done;
      if (closesAfter && lastToIt) {
        ConnectionId id = send.to;
        done = [weak, id] {
          if (auto self = weak.lock()) self->close(id);
        };
      }
      target->second.socket->send(toBytes(send.line), std::move(done));
    }
    if (actions.splice) {
      auto host = connections.find(actions.splice->host);
      auto client = connections.find(actions.splice->client);
      if (host != connections.end() && client != connections.end()) {
        host->second.partner = client->first;
        client->second.partner = host->first;
        // A client has nothing to say before its session starts; anything it did send goes along. Its
        // own read is already waiting, so this does not read it again.
        Bytes early = client->second.lines.takeRemaining();
        if (!early.empty()) pipe(client->first, host->first, std::move(early), false);
      }
    }
    for (const auto& token : actions.sessionsClosed) forwarder.forget(token);
    if (actions.sessionOpened && options.scheduler) {
      std::weak_ptr<Core> weak = weak_from_this();
      auto token = *actions.sessionOpened;
      options.scheduler->after(options.joinTimeoutUs, [weak, token] {
        auto self = weak.lock();
        if (!self) return;
        self->thread->post([weak, token] {
          if (auto core = weak.lock()) core->apply(core->registry.joinExpired(token));
        });
      });
    }
    for (ConnectionId id : actions.closes) {
      bool answered = std::any_of(actions.sends.begin(), actions.sends.end(), [&](const auto& send) { return send.to == id; });
      if (!answered) close(id);
    }
  }

  void close(ConnectionId id) {
    auto found = connections.find(id);
    if (found == connections.end()) return;
    found->second.socket->cancel();
    if (auto count = perAddress.find(found->second.address); count != perAddress.end() && --count->second == 0) {
      perAddress.erase(count);
    }
    connections.erase(found);
    apply(registry.closed(id));
  }

  void datagram(const SocketAddress& from, Bytes&& bytes) {
    ++counters.datagrams;
    if (bytes.size() == vela::RelayDatagramHeader::size) ++counters.keepalives;
    auto route = forwarder.route(from, bytes, [this](ByteView token) { return registry.isLiveToken(token); });
    if (route.newAddress) {
      log("relay: przepływ " + hexString(ByteView(bytes).subspan(4, 4)) + "… slot " +
          std::to_string(bytes[vela::RelayDatagramHeader::slotOffset]) + " strona " +
          std::to_string(bytes[vela::RelayDatagramHeader::sideOffset]) + " z " + from.describe());
    }
    if (!route.forwardTo) return;
    ByteView view(bytes);
    udp->send(std::span<const ByteView>(&view, 1), &*route.forwardTo);
    ++counters.datagramsForwarded;
  }

  void stop() {
    if (listener) listener->stop();
    for (auto& [id, connection] : connections) connection.socket->cancel();
    connections.clear();
    perAddress.clear();
  }

  void log(const std::string& line) const {
    if (options.log) options.log(line);
  }

  const Options options;
  const std::shared_ptr<NetThread> thread;
  std::unique_ptr<TcpListenSocket> listener;
  std::shared_ptr<UdpSocket> udp;
  JsonStore state;
  RelayRegistry registry;
  RelayForwarder<SocketAddress> forwarder;
  std::map<ConnectionId, Connection> connections;
  std::map<std::string, size_t> perAddress;  // open connections by address key
  ConnectionId nextId = 1;
  Counters counters;
};

std::unique_ptr<RelayServer> RelayServer::start(Options options) {
  auto core = std::make_shared<Core>(std::move(options));
  const std::string& address = core->options.bindAddress;  // empty: every address
  core->listener = TcpListenSocket::open(core->thread, core->options.tcpPort, ServiceClass::interactiveVoice, address);
  core->udp = UdpSocket::openListening(core->options.udpPort, ServiceClass::interactiveVideo, address);
  std::weak_ptr<Core> weak = core;
  core->listener->start([weak](std::shared_ptr<TcpConnection> connection) {
    if (auto self = weak.lock()) self->accepted(std::move(connection));
  });
  core->udp->startReading(
      core->thread,
      [weak](const SocketAddress& from, Bytes&& datagram) {
        if (auto self = weak.lock()) self->datagram(from, std::move(datagram));
      },
      [](int) {});
  return std::unique_ptr<RelayServer>(new RelayServer(std::move(core)));
}

RelayServer::~RelayServer() {
  auto core = core_;
  core->udp->stopReadingAndWait();
  core->thread->sync([core] { core->stop(); });
}

uint16_t RelayServer::tcpPort() const { return core_->listener->port(); }
uint16_t RelayServer::udpPort() const { return core_->udp->localAddress().port(); }

vela::RelayService RelayServer::service() const {
  // Bound to every address, the server is reached on loopback.
  std::string host = core_->options.bindAddress;
  if (host.empty() || host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  return vela::RelayService{host, tcpPort(), udpPort()};
}

RelayServer::Counters RelayServer::counters() const {
  Counters snapshot;
  auto core = core_;
  core->thread->sync([&] {
    snapshot = core->counters;
    snapshot.registeredHosts = core->registry.registeredHosts();
    snapshot.openConnections = core->connections.size();
  });
  return snapshot;
}

}  // namespace tavlo::relay
