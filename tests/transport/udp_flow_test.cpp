// The UDP half of the direct path on loopback: the host's listening port with one link per remote
// address, the client's connected socket, and UDPFlow's reports over them.
#include "transport/udp_flow.hpp"

#include <gtest/gtest.h>

#include "platform/net/udp_listen_socket.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using testkit::RawUdp;
using testkit::receiveWithin;
using tavlo::NetThread;
using tavlo::ServiceClass;
using tavlo::UdpLink;
using tavlo::UdpListenSocket;

struct Listening {
  Listening() : thread(NetThread::start("test.udp")), socket(UdpListenSocket::open(thread, 0, ServiceClass::interactiveVideo)) {
    socket->start([this](std::shared_ptr<UdpLink> link) {
      auto flow = std::make_shared<UDPFlow>(link, "video");
      flow->start([](bool) {});
      peers.send(flow);
    });
  }
  ~Listening() {
    socket->stop();
    thread->sync([] {});  // a handover in progress has finished with `peers`
  }
  std::shared_ptr<UDPFlow> nextPeer() { return receiveWithin(peers).value_or(nullptr); }
  void sendFrom(RawUdp& peer, Bytes datagram) { peer.sendTo("127.0.0.1", socket->port(), datagram); }
  tavlo::Channel<std::shared_ptr<UDPFlow>> peers;  // outlives the socket that fills it
  std::shared_ptr<NetThread> thread;
  std::unique_ptr<UdpListenSocket> socket;
};

// The client's flow to `host`:`port`, not started, with its diagnostic lines recorded.
struct ClientFlow {
  explicit ClientFlow(uint16_t port, const std::string& label = "audio", ServiceClass serviceClass = ServiceClass::bestEffort,
                      const std::string& host = "127.0.0.1")
      : flow(std::make_shared<UDPFlow>(UdpLink::dial(thread, host, port, serviceClass), label)) {
    flow->setOnDiag(log.sink());
  }
  void start() {
    withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); });
  }
  uint16_t localPort() const {
    auto local = flow->localEndpointDescription();
    return static_cast<uint16_t>(std::stoi(local.substr(local.rfind(':') + 1)));
  }
  testkit::LogRecorder log;
  std::shared_ptr<NetThread> thread = NetThread::start("test.client");
  std::shared_ptr<UDPFlow> flow;
};

TEST(UdpListenSocket, OpensOneLinkPerRemoteAddressForgetsACancelledOneAndKeepsLinksWhenStopped) {
  Listening host;
  RawUdp a, b;
  host.sendFrom(a, {1});
  auto flowA = host.nextPeer();
  ASSERT_TRUE(flowA);
  EXPECT_EQ(flowA->remoteEndpointDescription(), a.description());
  host.sendFrom(a, {2});
  host.sendFrom(b, {3});
  auto flowB = host.nextPeer();
  ASSERT_TRUE(flowB);
  EXPECT_EQ(flowB->remoteEndpointDescription(), b.description());
  EXPECT_EQ(receiveWithin(flowA->incoming()), Bytes{1});
  EXPECT_EQ(receiveWithin(flowA->incoming()), Bytes{2}) << "the same address stays on its link";
  EXPECT_EQ(receiveWithin(flowB->incoming()), Bytes{3});

  flowA->close();
  EXPECT_EQ(receiveWithin(flowA->incoming()), std::nullopt);
  host.sendFrom(a, {4});
  auto again = host.nextPeer();
  ASSERT_TRUE(again) << "a cancelled link is forgotten: the address opens a new one";
  EXPECT_EQ(receiveWithin(again->incoming()), Bytes{4});

  host.socket->stop();
  RawUdp stranger;
  host.sendFrom(stranger, {5});
  host.sendFrom(a, {6});
  EXPECT_EQ(receiveWithin(again->incoming()), Bytes{6}) << "a stopped socket keeps its open links";
  EXPECT_EQ(host.peers.tryReceive(), std::nullopt) << "the stranger opened nothing";
  a.connectTo("127.0.0.1", host.socket->port());  // from now on only that port is heard
  again->send(Bytes{7});
  EXPECT_EQ(a.receive(), Bytes{7}) << "links answer from the listening port, also once stopped";
}

TEST(UdpListenSocket, AWaitingFlowKeepsTheNewestDatagramsWhenNobodyReadsIt) {
  Listening host;
  RawUdp peer;
  constexpr uint32_t sent = UDPFlow::incomingLimit + 500;
  auto numbered = [](uint32_t i) { return Bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16)}; };
  for (uint32_t i = 0; i < sent; ++i) host.sendFrom(peer, numbered(i));
  auto flow = host.nextPeer();
  ASSERT_TRUE(flow);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (flow->incoming().size() + flow->incoming().droppedCount() < sent && std::chrono::steady_clock::now() < deadline)
    host.thread->sync([] {});
  EXPECT_EQ(flow->incoming().size(), UDPFlow::incomingLimit) << "bounded";
  EXPECT_EQ(flow->incoming().droppedCount(), sent - UDPFlow::incomingLimit) << "the oldest went";
  EXPECT_EQ(flow->incoming().tryReceive(), numbered(sent - UDPFlow::incomingLimit));
}

TEST(UDPFlow, ADrainGoesPastAnEmptyDatagram) {
  RawUdp peer;
  ClientFlow client(peer.port());
  // Queued in the socket before reading starts, so that one readiness event finds all three.
  for (Bytes datagram : {Bytes{}, Bytes{7}, Bytes{8}}) peer.sendTo("127.0.0.1", client.localPort(), datagram);
  client.start();
  EXPECT_EQ(receiveWithin(client.flow->incoming()), Bytes{7}) << "the empty datagram is skipped, not the end of the drain";
  EXPECT_EQ(receiveWithin(client.flow->incoming()), Bytes{8});
}

TEST(UDPFlow, SendBatchKeepsTheOrderWhetherOrNotDatagramsAreSegmented) {
  RawUdp peer;
  ClientFlow client(peer.port(), "video", ServiceClass::interactiveVideo);
  client.start();
  // Runs of equal sizes (segmented), a shorter one closing a run, single ones, empty ones, a long run.
  std::vector<size_t> sizes(10, 1350);
  sizes.insert(sizes.end(), {700, 1350, 1350, 20, 20, 20, 1382, 0, 5});
  sizes.insert(sizes.end(), 150, 1382);
  std::vector<Bytes> datagrams;
  for (size_t i = 0; i < sizes.size(); ++i) datagrams.emplace_back(sizes[i], static_cast<uint8_t>(i));
  std::vector<ByteView> views(datagrams.begin(), datagrams.end());
  client.flow->sendBatch(views);
  for (size_t i = 0; i < datagrams.size(); ++i) {
    auto got = peer.receive();
    ASSERT_TRUE(got) << "datagram " << i;
    EXPECT_EQ(*got, datagrams[i]) << "datagram " << i;
  }
}

TEST(UDPFlow, ReportsAPathThatRefusesAndItsReturn) {
  uint16_t port = RawUdp().port();  // a port nobody listens on
  ClientFlow client(port, "input");
  client.start();
  client.flow->send(Bytes{1});  // answered by an ICMP refusal
  ASSERT_TRUE(client.log.waitFor("wysyłka stoi"));
  EXPECT_EQ(client.log.lines().front(), "🔍 input: .waiting(Connection refused) — wysyłka stoi");

  RawUdp listener("127.0.0.1", port);
  listener.sendTo("127.0.0.1", client.localPort(), Bytes{2});
  EXPECT_EQ(client.log.waitFor("ponownie"), "🔍 input: ponownie .ready (lokalnie " + client.flow->localEndpointDescription() + ")");
  EXPECT_EQ(receiveWithin(client.flow->incoming()), Bytes{2}) << "and the stream never ended";
}

TEST(UDPFlow, AFlowThatCannotResolveIsNotReady) {
  ClientFlow client(9, "audio", ServiceClass::bestEffort, "host.invalid");
  EXPECT_THROW(client.start(), TransportError);
  auto line = client.log.waitFor(".failed(");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("🔍 audio: .failed(", 0), 0u) << *line;
  EXPECT_EQ(client.flow->incoming().receive(), std::nullopt);
}

TEST(UDPFlow, CloseFinishesIncomingAndReportsNotReadyOnce) {
  RawUdp peer;
  ClientFlow client(peer.port());
  auto calls = std::make_shared<tavlo::Channel<bool>>();  // the flow's thread may still be signalling it
  client.flow->start([calls](bool ready) { calls->send(ready); });
  EXPECT_EQ(receiveWithin(*calls), true);
  client.flow->close();
  EXPECT_EQ(receiveWithin(*calls), false);
  EXPECT_EQ(client.flow->incoming().receive(), std::nullopt);
  client.flow->close();
  client.thread->sync([] {});
  EXPECT_EQ(calls->tryReceive(), std::nullopt) << "a second close reports nothing more";
}

TEST(UDPFlow, ASocketClosesWhenItsFlowGoesAwayEvenUnstarted) {
  RawUdp peer;
  auto client = std::make_unique<ClientFlow>(peer.port());
  auto thread = client->thread;
  uint16_t localPort = client->localPort();
  client.reset();
  thread->sync([] {});
  EXPECT_TRUE(testkit::udpPortIsFree(testkit::socketAddress("127.0.0.1", localPort)));
}

TEST(SocketAddress, PrintsPeersTheWayTheListenerMatchesThem) {
  struct Row {
    const char* address;
    const char* printed;
    const char* why;
  };
  const Row rows[] = {
      {"192.168.1.20", "192.168.1.20:5000", "IPv4"},
      {"::ffff:192.168.1.20", "192.168.1.20:5000", "an IPv4 peer of a dual-stack socket prints as plain IPv4"},
      {"::1", "[::1]:5000", "IPv6 in brackets"},
      {"fe80::1", "[fe80::1]:5000", "link-local IPv6"},
  };
  for (const auto& row : rows) EXPECT_EQ(testkit::socketAddress(row.address, 5000).describe(), row.printed) << row.why;
}

}  // namespace
}  // namespace vela
