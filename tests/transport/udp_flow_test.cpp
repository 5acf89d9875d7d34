// The UDP half of the direct path on loopback: the host's listening port with one link per remote
// address, the client's connected socket, and UDPFlow's reports over them.
#include "transport/udp_flow.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "platform/net/socket_address.hpp"
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

Bytes bytes(std::initializer_list<uint8_t> list) { return Bytes(list); }

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
  tavlo::Channel<std::shared_ptr<UDPFlow>> peers;  // outlives the socket that fills it
  std::shared_ptr<NetThread> thread;
  std::unique_ptr<UdpListenSocket> socket;
};

TEST(UdpListenSocket, OpensOneLinkPerRemoteAddressAndForgetsACancelledOne) {
  Listening host;
  RawUdp a, b;
  a.sendTo("127.0.0.1", host.socket->port(), bytes({1}));
  auto flowA = host.nextPeer();
  ASSERT_TRUE(flowA);
  EXPECT_EQ(flowA->remoteEndpointDescription(), a.description());
  a.sendTo("127.0.0.1", host.socket->port(), bytes({2}));
  b.sendTo("127.0.0.1", host.socket->port(), bytes({3}));
  auto flowB = host.nextPeer();
  ASSERT_TRUE(flowB);
  EXPECT_EQ(flowB->remoteEndpointDescription(), b.description());
  EXPECT_EQ(receiveWithin(flowA->incoming()), bytes({1}));
  EXPECT_EQ(receiveWithin(flowA->incoming()), bytes({2})) << "the same address stays on its link";
  EXPECT_EQ(receiveWithin(flowB->incoming()), bytes({3}));

  flowA->close();
  EXPECT_EQ(receiveWithin(flowA->incoming()), std::nullopt);
  a.sendTo("127.0.0.1", host.socket->port(), bytes({4}));
  auto again = host.nextPeer();
  ASSERT_TRUE(again) << "a cancelled link is forgotten: the address opens a new one";
  EXPECT_EQ(receiveWithin(again->incoming()), bytes({4}));
}

TEST(UdpListenSocket, AWaitingFlowKeepsTheNewestDatagramsWhenNobodyReadsIt) {
  Listening host;
  RawUdp peer;
  constexpr uint32_t sent = UDPFlow::incomingLimit + 500;
  for (uint32_t i = 0; i < sent; ++i) {
    Bytes d{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16)};
    peer.sendTo("127.0.0.1", host.socket->port(), d);
  }
  auto flow = host.nextPeer();
  ASSERT_TRUE(flow);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (flow->incoming().size() + flow->incoming().droppedCount() < sent && std::chrono::steady_clock::now() < deadline)
    host.thread->sync([] {});
  EXPECT_EQ(flow->incoming().size(), UDPFlow::incomingLimit) << "bounded";
  EXPECT_EQ(flow->incoming().droppedCount(), sent - UDPFlow::incomingLimit) << "the oldest went";
  uint32_t first = UDPFlow::incomingLimit > 0 ? sent - UDPFlow::incomingLimit : 0;
  EXPECT_EQ(flow->incoming().tryReceive(),
            (Bytes{static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first >> 16)}));
}

TEST(UdpListenSocket, LinksAnswerFromTheListeningPort) {
  Listening host;
  RawUdp peer;
  peer.sendTo("127.0.0.1", host.socket->port(), bytes({1}));
  auto flow = host.nextPeer();
  ASSERT_TRUE(flow);
  peer.connectTo("127.0.0.1", host.socket->port());  // from now on only that port is heard
  Bytes reply{5, 6};
  flow->send(reply);
  EXPECT_EQ(peer.receive(), reply);
}

TEST(UdpListenSocket, StoppedTakesNoNewPeersButKeepsOpenOnes) {
  Listening host;
  RawUdp known, stranger;
  known.sendTo("127.0.0.1", host.socket->port(), bytes({1}));
  auto flow = host.nextPeer();
  ASSERT_TRUE(flow);
  ASSERT_EQ(receiveWithin(flow->incoming()), bytes({1}));
  host.socket->stop();
  stranger.sendTo("127.0.0.1", host.socket->port(), bytes({2}));
  known.sendTo("127.0.0.1", host.socket->port(), bytes({3}));
  EXPECT_EQ(receiveWithin(flow->incoming()), bytes({3}));
  EXPECT_EQ(host.peers.tryReceive(), std::nullopt) << "the stranger opened nothing";
  Bytes reply{4};
  flow->send(reply);
  EXPECT_EQ(known.receive(), reply) << "the open link still sends";
}

TEST(UDPFlow, ADrainGoesPastAnEmptyDatagram) {
  RawUdp peer;
  auto thread = NetThread::start("test.client");
  auto flow = std::make_shared<UDPFlow>(UdpLink::dial(thread, "127.0.0.1", peer.port(), ServiceClass::bestEffort), "audio");
  auto local = flow->localEndpointDescription();
  uint16_t localPort = static_cast<uint16_t>(std::stoi(local.substr(local.rfind(':') + 1)));
  // Queued in the socket before reading starts, so that one readiness event finds all three.
  peer.sendTo("127.0.0.1", localPort, {});
  peer.sendTo("127.0.0.1", localPort, bytes({7}));
  peer.sendTo("127.0.0.1", localPort, bytes({8}));
  withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); });
  EXPECT_EQ(receiveWithin(flow->incoming()), bytes({7})) << "the empty datagram is skipped, not the end of the drain";
  EXPECT_EQ(receiveWithin(flow->incoming()), bytes({8}));
}

TEST(UDPFlow, SendBatchKeepsTheOrderWhetherOrNotDatagramsAreSegmented) {
  RawUdp peer;
  auto thread = NetThread::start("test.client");
  auto flow = std::make_shared<UDPFlow>(UdpLink::dial(thread, "127.0.0.1", peer.port(), ServiceClass::interactiveVideo), "video");
  withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); });
  // Runs of equal sizes (segmented), a shorter one closing a run, single ones, empty ones, a long run.
  std::vector<size_t> sizes;
  for (int i = 0; i < 10; ++i) sizes.push_back(1350);
  sizes.insert(sizes.end(), {700, 1350, 1350, 20, 20, 20, 1382, 0, 5});
  for (int i = 0; i < 150; ++i) sizes.push_back(1382);
  std::vector<Bytes> datagrams;
  for (size_t i = 0; i < sizes.size(); ++i) {
    Bytes d(sizes[i], static_cast<uint8_t>(i));
    if (!d.empty()) d[0] = static_cast<uint8_t>(i);
    datagrams.push_back(std::move(d));
  }
  std::vector<ByteView> views(datagrams.begin(), datagrams.end());
  flow->sendBatch(views);
  for (size_t i = 0; i < datagrams.size(); ++i) {
    auto got = peer.receive();
    ASSERT_TRUE(got) << "datagram " << i;
    EXPECT_EQ(*got, datagrams[i]) << "datagram " << i;
  }
}

TEST(UDPFlow, ReportsAPathThatRefusesAndItsReturn) {
  uint16_t port;
  { port = RawUdp().port(); }  // a port nobody listens on
  auto lines = std::make_shared<tavlo::Channel<std::string>>();  // the flow's thread may still be writing
  auto thread = NetThread::start("test.client");
  auto flow = std::make_shared<UDPFlow>(UdpLink::dial(thread, "127.0.0.1", port, ServiceClass::bestEffort), "input");
  flow->setOnDiag([lines](const std::string& line) { lines->send(line); });
  withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); });
  Bytes ping{1};
  flow->send(ping);  // answered by an ICMP refusal
  auto waiting = receiveWithin(*lines);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(*waiting, "🔍 input: .waiting(Connection refused) — wysyłka stoi");

  RawUdp listener("127.0.0.1", port);
  auto local = flow->localEndpointDescription();
  listener.sendTo("127.0.0.1", static_cast<uint16_t>(std::stoi(local.substr(local.rfind(':') + 1))), bytes({2}));
  EXPECT_EQ(receiveWithin(*lines), "🔍 input: ponownie .ready (lokalnie " + local + ")");
  EXPECT_EQ(receiveWithin(flow->incoming()), bytes({2})) << "and the stream never ended";
}

TEST(UDPFlow, AFlowThatCannotResolveIsNotReady) {
  auto lines = std::make_shared<tavlo::Channel<std::string>>();
  auto thread = NetThread::start("test.client");
  auto flow = std::make_shared<UDPFlow>(UdpLink::dial(thread, "host.invalid", 9, ServiceClass::bestEffort), "audio");
  flow->setOnDiag([lines](const std::string& line) { lines->send(line); });
  EXPECT_THROW(withReady([&](ReadyHandler handler) { flow->start(std::move(handler)); }), TransportError);
  auto line = receiveWithin(*lines);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("🔍 audio: .failed(", 0), 0u) << *line;
  EXPECT_EQ(flow->incoming().receive(), std::nullopt);
}

TEST(UDPFlow, CloseFinishesIncomingAndReportsNotReadyOnce) {
  RawUdp peer;
  auto calls = std::make_shared<tavlo::Channel<bool>>();
  auto thread = NetThread::start("test.client");
  auto flow = std::make_shared<UDPFlow>(UdpLink::dial(thread, "127.0.0.1", peer.port(), ServiceClass::bestEffort), "audio");
  flow->start([calls](bool ready) { calls->send(ready); });
  EXPECT_EQ(receiveWithin(*calls), true);
  flow->close();
  EXPECT_EQ(receiveWithin(*calls), false);
  EXPECT_EQ(flow->incoming().receive(), std::nullopt);
  flow->close();
  thread->sync([] {});
  EXPECT_EQ(calls->tryReceive(), std::nullopt) << "a second close reports nothing more";
}

TEST(UDPFlow, ASocketClosesWhenItsFlowGoesAwayEvenUnstarted) {
  RawUdp peer;
  auto thread = NetThread::start("test.client");
  uint16_t localPort;
  {
    auto flow = std::make_shared<UDPFlow>(UdpLink::dial(thread, "127.0.0.1", peer.port(), ServiceClass::bestEffort), "audio");
    auto local = flow->localEndpointDescription();
    localPort = static_cast<uint16_t>(std::stoi(local.substr(local.rfind(':') + 1)));
  }
  thread->sync([] {});
  EXPECT_NO_THROW(RawUdp("127.0.0.1", localPort)) << "the port is free again";
}

TEST(SocketAddress, PrintsPeersTheWayTheListenerMatchesThem) {
  struct Row {
    const char* address;
    bool v6;
    const char* printed;
    const char* why;
  };
  const Row rows[] = {
      {"192.168.1.20", false, "192.168.1.20:5000", "IPv4"},
      {"::ffff:192.168.1.20", true, "192.168.1.20:5000", "an IPv4 peer of a dual-stack socket prints as plain IPv4"},
      {"::1", true, "[::1]:5000", "IPv6 in brackets"},
      {"fe80::1", true, "[fe80::1]:5000", "link-local IPv6"},
  };
  for (const auto& row : rows) {
    tavlo::SocketAddress address;
    if (row.v6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(5000);
      inet_pton(AF_INET6, row.address, &a.sin6_addr);
      address = tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(5000);
      inet_pton(AF_INET, row.address, &a.sin_addr);
      address = tavlo::SocketAddress::from(reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    EXPECT_EQ(address.describe(), row.printed) << row.why;
  }
}

}  // namespace
}  // namespace vela
