// The listener's pairing of connections into sessions, scripted with plain sockets as the client.
#include "transport/host_listener.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "protocol/flow_bind.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using testkit::LoopbackHost;
using testkit::RawTcp;
using testkit::RawUdp;
using testkit::receiveWithin;
using testkit::waitUntil;

constexpr std::array<Channel, 3> slotChannels{Channel::video, Channel::audio, Channel::inputUnreliable};

// The host's UDP port of `slot`.
uint16_t portOf(LoopbackHost& host, Slot slot) { return static_cast<uint16_t>(host.basePort() + 1 + static_cast<int>(slot)); }

Bytes sealed(uint8_t tag) { return {'S', 'E', 'A', 'L', tag}; }
bool acceptsSealed(ByteView d) { return d.size() == 5 && d[0] == 'S' && d[3] == 'L'; }

// One client played by plain sockets from one local address.
struct ScriptedClient {
  ScriptedClient(LoopbackHost& host, std::string ip)
      : host(host), ip(std::move(ip)), hostIp(this->ip.find(':') != std::string::npos ? "::1" : "127.0.0.1"),
        udp{std::make_unique<RawUdp>(this->ip), std::make_unique<RawUdp>(this->ip), std::make_unique<RawUdp>(this->ip)} {}

  // Connects and waits until the listener has opened the connection's epoch.
  // Connects and waits until the listener has taken the connection.
  void connect() {
    int64_t before = host.listener().snapshot().connectionsTaken;
    tcp = std::make_unique<RawTcp>(ip, hostIp, host.basePort());
    ASSERT_TRUE(tcp->connected());
    ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken > before; }));
  }
  // Sends the slot's bind datagram and waits until the listener has taken the flow (waiting or assembled).
  void bind(Slot slot) {
    int64_t before = host.listener().snapshot().flowsTaken;
    send(slot, flowBindDatagram(slotChannels[static_cast<size_t>(slot)]));
    ASSERT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().flowsTaken > before; }));
  }
  void send(Slot slot, ByteView datagram) {
    udp[static_cast<size_t>(slot)]->sendTo(hostIp, portOf(host, slot), datagram);
  }
  RawUdp& socket(Slot slot) { return *udp[static_cast<size_t>(slot)]; }

  LoopbackHost& host;
  const std::string ip;
  const std::string hostIp;
  std::unique_ptr<RawTcp> tcp;
  std::array<std::unique_ptr<RawUdp>, 3> udp;
};

// A client that has connected all four pieces, and the transport the host made of them.
struct Session {
  std::unique_ptr<ScriptedClient> client;
  std::shared_ptr<DirectSessionTransport> transport;
};

Session connectSession(LoopbackHost& host, const std::string& ip) {
  Session s;
  s.client = std::make_unique<ScriptedClient>(host, ip);
  s.client->connect();
  for (Slot slot : {Slot::video, Slot::audio, Slot::inputUnreliable}) s.client->bind(slot);
  s.transport = host.nextSession();
  return s;
}

class HostListenerOnBothFamilies : public ::testing::TestWithParam<const char*> {};

TEST_P(HostListenerOnBothFamilies, YieldsOneTransportOnceTcpAndAllThreeFlowsAreThere) {
  if (testkit::checkedWithoutIpv6(GetParam())) return;
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ScriptedClient client(host, GetParam());
  client.connect();
  client.bind(Slot::video);
  client.bind(Slot::audio);
  EXPECT_EQ(host.nextSession(std::chrono::milliseconds(0)), nullptr) << "nothing before the third flow";
  client.bind(Slot::inputUnreliable);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), client.tcp->description()) << "the TCP peer, as the listener prints it";

  Bytes control(6, 0);
  client.tcp->writeFrame(control);
  EXPECT_EQ(receiveWithin(transport->control().incoming()), control);
  transport->control().send(Bytes{1, 2, 3, 4, 5, 0});
  EXPECT_EQ(client.tcp->read(10), (Bytes{6, 0, 0, 0, 1, 2, 3, 4, 5, 0}));
  for (Slot slot : {Slot::video, Slot::audio, Slot::inputUnreliable}) {
    DatagramFlow& flow = slot == Slot::video ? transport->video() : slot == Slot::audio ? transport->audio() : transport->inputUnreliable();
    EXPECT_EQ(receiveWithin(flow.incoming()), flowBindDatagram(slotChannels[static_cast<size_t>(slot)]))
        << slotName(slot) << ": the first datagram waited for the transport and is delivered";
    Bytes out{static_cast<uint8_t>(slot), 9};
    flow.send(out);
    EXPECT_EQ(client.socket(slot).receive(), out) << slotName(slot);
  }
  EXPECT_EQ(host.nextSession(std::chrono::milliseconds(0)), nullptr) << "exactly one transport";
}

INSTANTIATE_TEST_SUITE_P(Loopback, HostListenerOnBothFamilies, ::testing::Values("127.0.0.1", "::1"));

// A peer elsewhere that keeps connecting and sends nothing: its connections and flows never touch a
// client's, which is paired with its own pieces and becomes a session.
TEST(HostListener, FlowsJoinOnlyAConnectionOfTheirOwnAddressAndNoAddressDisplacesAnother) {
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ScriptedClient honest(host, "127.0.0.1");
  honest.connect();
  std::vector<std::unique_ptr<ScriptedClient>> strangers;
  for (size_t i = 0; i < HostListener::maxPendingConnectionsPerAddress + 2; ++i) {
    strangers.push_back(std::make_unique<ScriptedClient>(host, "127.0.0.2"));
    strangers.back()->connect();
  }
  EXPECT_TRUE(strangers[0]->tcp->closedByPeer()) << "over its address's cap, its own oldest goes";
  EXPECT_TRUE(strangers[1]->tcp->closedByPeer());
  EXPECT_FALSE(honest.tcp->closedByPeer(std::chrono::milliseconds(50))) << "and never another address's";
  EXPECT_EQ(host.listener().snapshot().pendingConnections, 1 + HostListener::maxPendingConnectionsPerAddress);

  strangers.back()->bind(Slot::video);  // joins the stranger's newest connection, not the honest one
  honest.bind(Slot::video);
  honest.bind(Slot::audio);
  EXPECT_EQ(host.nextSession(std::chrono::milliseconds(0)), nullptr);
  honest.bind(Slot::inputUnreliable);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), honest.tcp->description());
  Bytes out{4, 2};
  transport->video().send(out);
  EXPECT_EQ(honest.socket(Slot::video).receive(), out) << "the honest client's own video flow";
  EXPECT_EQ(host.listener().snapshot().pendingConnections, HostListener::maxPendingConnectionsPerAddress);
  EXPECT_EQ(host.listener().snapshot().pairedFlows[0], 1u) << "the stranger's flow waits with its connection";
}

// A client that tries again from the same address leaves its first attempt waiting until it expires;
// the flows of the second attempt join the second connection, the newest one that lacks them.
TEST(HostListener, ASecondConnectionOfAnAddressTakesTheFlowsItLacksAndTheFirstWaitsOn) {
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ScriptedClient first(host, "127.0.0.1");
  first.connect();
  first.bind(Slot::video);
  ScriptedClient second(host, "127.0.0.1");
  second.connect();
  EXPECT_FALSE(first.tcp->closedByPeer(std::chrono::milliseconds(50)));
  for (Slot slot : {Slot::video, Slot::audio, Slot::inputUnreliable}) second.bind(slot);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->remoteDescription(), second.tcp->description());
  Bytes out{7};
  transport->video().send(out);
  EXPECT_EQ(second.socket(Slot::video).receive(), out);
  auto s = host.listener().snapshot();
  EXPECT_EQ(s.pendingConnections, 1u);
  EXPECT_EQ(s.pairedFlows, (std::array<size_t, 3>{1, 0, 0})) << "the first attempt keeps its own flow";
}

TEST(HostListener, DoesNotReadAConnectionBeforeItsFlowsComeSoThePeerIsHeldBackByTheKernel) {
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ScriptedClient client(host, "127.0.0.1");
  client.connect();
  // A peer that streams frames and binds no flow: were the host reading, it would keep all of them.
  Bytes payload(65'536, 0);
  Bytes frame = payload;
  frame.insert(frame.begin(), {0, 0, 1, 0});  // 65,536, little-endian
  constexpr size_t limit = 64 << 20;
  EXPECT_LT(client.tcp->writeUntilStalled(frame, limit, std::chrono::milliseconds(300)), limit);
  for (Slot slot : {Slot::video, Slot::audio, Slot::inputUnreliable}) client.bind(slot);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  EXPECT_EQ(receiveWithin(transport->control().incoming()), payload) << "held back, not lost";
}

TEST(HostListener, ASecondFlowOfASlotInOneEpochReplacesTheFirst) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  LoopbackHost host(&scheduler);
  ASSERT_TRUE(host.start());
  ScriptedClient client(host, "127.0.0.1");
  RawUdp otherVideo;
  client.connect();
  client.bind(Slot::video);
  otherVideo.sendTo("127.0.0.1", portOf(host, Slot::video), flowBindDatagram(Channel::video));
  client.bind(Slot::audio);
  client.bind(Slot::inputUnreliable);
  auto transport = host.nextSession();
  ASSERT_TRUE(transport);
  Bytes out{1};
  transport->video().send(out);
  EXPECT_EQ(otherVideo.receive(), out) << "the second video flow is the one used";
  // The first one was cancelled and forgotten: its next datagram opens a new flow.
  client.send(Slot::video, Bytes{2});
  EXPECT_TRUE(waitUntil(host.listener(), [&] { return !host.listener().snapshot().unpairedFlowRemotes[0].empty(); }));
}

// The session's hello watchdog starts only once a transport exists: a connection that never gets its
// flows is closed after as long, with the flows its epoch gathered, so a silent peer holds nothing.
TEST(HostListener, AConnectionThatNeverGetsItsFlowsIsClosedAfterEightSeconds) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  LoopbackHost host(&scheduler);
  ASSERT_TRUE(host.start());
  ScriptedClient idle(host, "127.0.0.1");
  idle.connect();
  idle.bind(Slot::video);
  scheduler.advanceBy(HostListener::pendingConnectionTimeoutUs - 1);
  host.listener().waitIdle();
  EXPECT_FALSE(idle.tcp->closedByPeer(std::chrono::milliseconds(50)));
  scheduler.advanceBy(1);
  host.listener().waitIdle();
  EXPECT_TRUE(idle.tcp->closedByPeer());
  auto s = host.listener().snapshot();
  EXPECT_EQ(s.pendingConnections, 0u);
  EXPECT_EQ(s.pairedFlows, (std::array<size_t, 3>{0, 0, 0})) << "its flow went with it";
  EXPECT_TRUE(host.log.waitFor("nie dostało swoich przepływów UDP w 8 s — zamykam"));

  // A connection that got its flows in time is a session's from then on: its timer does nothing.
  auto session = connectSession(host, "127.0.0.1");
  ASSERT_TRUE(session.transport);
  scheduler.advanceBy(HostListener::pendingConnectionTimeoutUs);
  host.listener().waitIdle();
  EXPECT_FALSE(session.transport->isClosed());
  EXPECT_FALSE(session.client->tcp->closedByPeer(std::chrono::milliseconds(50)));
}

struct LateFlowFixture : ::testing::Test {
  LateFlowFixture() : scheduler(clock), host(&scheduler) {}
  void SetUp() override { ASSERT_TRUE(host.start()); }
  // Sends from a fresh socket on `ip` and waits until the listener holds it as the slot's waiting flow.
  std::unique_ptr<RawUdp> lateFlow(const std::string& ip, Slot slot, ByteView first) {
    auto socket = std::make_unique<RawUdp>(ip);
    socket->sendTo("127.0.0.1", portOf(host, slot), first);
    EXPECT_TRUE(waitUntil(host.listener(), [&] {
      return !host.listener().snapshot().unpairedFlowRemotes[static_cast<size_t>(slot)].empty();
    }));  // and its late check is scheduled by the time waitUntil returns
    return socket;
  }
  void advanceMs(uint64_t ms) {
    scheduler.advanceBy(ms * 1000);
    host.listener().waitIdle();
  }
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler;
  LoopbackHost host;
};

TEST_F(LateFlowFixture, IsOfferedAfter300MsToTheSessionWithItsAddressAndPromotedByTheKey) {
  auto older = connectSession(host, "127.0.0.5");
  auto newer = connectSession(host, "127.0.0.9");
  ASSERT_TRUE(older.transport && newer.transport);
  older.transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  newer.transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  ASSERT_EQ(receiveWithin(older.transport->inputUnreliable().incoming()), flowBindDatagram(Channel::inputUnreliable));

  auto moved = lateFlow("127.0.0.5", Slot::inputUnreliable, flowBindDatagram(Channel::inputUnreliable));
  advanceMs(299);
  EXPECT_EQ(older.transport->inputBox()->candidateCount() + newer.transport->inputBox()->candidateCount(), 0u);
  advanceMs(1);
  EXPECT_TRUE(host.log.waitFor("🔁 listener: spóźnione dziecko inputUnreliable od " + moved->description() +
                              " → kandydat adopcji w żywej sesji"));
  EXPECT_TRUE(host.log.waitFor("🔁 input: kandydat " + moved->description() + " — czekam na datagram z pieczęcią sesji"));
  EXPECT_EQ(older.transport->inputBox()->candidateCount(), 1u) << "the same IP wins over the newest";
  EXPECT_EQ(newer.transport->inputBox()->candidateCount(), 0u);

  clock.advanceUs(RebindableUDPFlow::primarySilenceUs);  // nothing more from the session's own input source
  moved->sendTo("127.0.0.1", portOf(host, Slot::inputUnreliable), sealed(1));
  EXPECT_EQ(receiveWithin(older.transport->inputUnreliable().incoming()), sealed(1))
      << "the bare bind header proved nothing; the sealed datagram promotes and is delivered";
  EXPECT_EQ(older.transport->inputBox()->adoptions(), 1);
  Bytes out{7};
  older.transport->inputUnreliable().send(out);
  EXPECT_EQ(moved->receive(), out) << "sends follow the promoted source";

  auto stranger = lateFlow("127.0.0.7", Slot::inputUnreliable, Bytes{1});
  advanceMs(300);
  EXPECT_TRUE(host.log.waitFor("od " + stranger->description()));
  EXPECT_EQ(newer.transport->inputBox()->candidateCount(), 1u) << "no IP matches: the newest session";
}

// A moved client's flow waits for its check by its address: a flow from another address in the
// meantime neither replaces nor cancels it, and each reaches the session it belongs to.
TEST_F(LateFlowFixture, AFlowFromAnotherAddressNeitherTakesNorCancelsAMovedClientsWaitingFlow) {
  auto roaming = connectSession(host, "127.0.0.5");
  auto newest = connectSession(host, "127.0.0.9");
  ASSERT_TRUE(roaming.transport && newest.transport);
  roaming.transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  newest.transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  auto moved = lateFlow("127.0.0.5", Slot::inputUnreliable, flowBindDatagram(Channel::inputUnreliable));
  advanceMs(100);
  RawUdp stranger("127.0.0.7");
  stranger.sendTo("127.0.0.1", portOf(host, Slot::inputUnreliable), Bytes{1});
  ASSERT_TRUE(waitUntil(host.listener(), [&] {
    return host.listener().snapshot().unpairedFlowRemotes[2] == stranger.description();
  }));
  advanceMs(200);
  EXPECT_EQ(roaming.transport->inputBox()->candidateCount(), 1u) << "the moved client's flow reached its session";
  EXPECT_TRUE(host.log.waitFor("od " + moved->description() + " → kandydat adopcji"));
  advanceMs(100);
  EXPECT_EQ(newest.transport->inputBox()->candidateCount(), 1u) << "the stranger's went to the newest session";
}

TEST_F(LateFlowFixture, IsNeverAdoptedWhenANewConnectionOfItsAddressComesFirst) {
  auto live = connectSession(host, "127.0.0.5");
  ASSERT_TRUE(live.transport);
  live.transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  auto late = lateFlow("127.0.0.5", Slot::inputUnreliable, Bytes{1});
  ScriptedClient elsewhere(host, "127.0.0.6");
  elsewhere.connect();
  EXPECT_FALSE(host.listener().snapshot().unpairedFlowRemotes[2].empty()) << "another address's connection leaves it";
  ScriptedClient next(host, "127.0.0.5");
  next.connect();
  EXPECT_TRUE(host.listener().snapshot().unpairedFlowRemotes[2].empty()) << "its own address's connection cancels it";
  advanceMs(300);
  EXPECT_EQ(live.transport->inputBox()->candidateCount(), 0u);
  for (const auto& line : host.log.lines()) EXPECT_EQ(line.find("spóźnione dziecko"), std::string::npos) << line;
}

TEST_F(LateFlowFixture, AFourthTransportPushesTheOldestOutWithoutClosingIt) {
  std::vector<Session> sessions;
  for (int i = 11; i <= 14; ++i) sessions.push_back(connectSession(host, "127.0.0." + std::to_string(i)));
  for (auto& s : sessions) ASSERT_TRUE(s.transport);
  EXPECT_EQ(host.listener().snapshot().liveTransports, 3u);
  EXPECT_FALSE(sessions[0].transport->isClosed());
  Bytes frame(6, 0);
  sessions[0].transport->control().send(frame);
  EXPECT_EQ(sessions[0].client->tcp->read(10), (Bytes{6, 0, 0, 0, 0, 0, 0, 0, 0, 0})) << "the oldest still works";

  sessions[3].transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  sessions[0].transport->inputBox()->setAdoptionVerifier(acceptsSealed);
  auto late = lateFlow("127.0.0.11", Slot::inputUnreliable, Bytes{1});
  advanceMs(300);
  EXPECT_TRUE(host.log.waitFor("od " + late->description()));
  EXPECT_EQ(sessions[3].transport->inputBox()->candidateCount(), 1u) << "the oldest can no longer receive late flows";
  EXPECT_EQ(sessions[0].transport->inputBox()->candidateCount(), 0u);
}

TEST_F(LateFlowFixture, RefusedWithoutAVerifierAndDroppedWhenItNeverProves) {
  auto live = connectSession(host, "127.0.0.5");
  ASSERT_TRUE(live.transport);
  auto first = lateFlow("127.0.0.5", Slot::audio, Bytes{1});
  advanceMs(300);
  EXPECT_TRUE(host.log.waitFor("🔁 audio: spóźnione dziecko " + first->description() +
                              " odrzucone — brak weryfikatora (sesja bez E2E)"));

  live.transport->audioBox()->setAdoptionVerifier([](ByteView) { return false; });
  auto second = lateFlow("127.0.0.5", Slot::audio, Bytes{0});
  for (uint8_t i = 1; i < 40; ++i) second->sendTo("127.0.0.1", portOf(host, Slot::audio), Bytes{i});
  advanceMs(300);
  EXPECT_TRUE(host.log.waitFor("🔁 audio: kandydat " + second->description() + " odrzucony (33 datagramów bez dowodu)"));
  EXPECT_EQ(live.transport->audioBox()->candidateCount(), 0u);
}

TEST(HostListener, StartRefusesABlockItCannotOpenAndLeavesNothingOpen) {
  auto listener = HostListener::create();
  EXPECT_THROW(listener->start(0), TransportError);
  EXPECT_THROW(listener->start(65533), TransportError) << "the block's last port would be past 65,535";

  LoopbackHost host;
  ASSERT_TRUE(host.start());
  uint16_t base = host.basePort();
  host.stop();
  // The audio port, taken in the family the listener binds (IPv4 alone on a kernel without IPv6).
  std::unique_ptr<RawUdp> taken;
  try {
    taken = std::make_unique<RawUdp>("::", static_cast<uint16_t>(base + 2));
  } catch (const std::runtime_error&) {
    taken = std::make_unique<RawUdp>("0.0.0.0", static_cast<uint16_t>(base + 2));
  }
  EXPECT_THROW(listener->start(base), std::system_error);
  taken.reset();
  EXPECT_NO_THROW(listener->start(base)) << "the failed start closed the ports it had opened";
}

// Out of descriptors, a connection waiting in the kernel cannot be taken in: the listener says so once,
// neither spins nor stops, and takes it in as soon as descriptors are free again.
TEST(HostListener, OutOfDescriptorsItSaysSoOnceAndTakesTheConnectionInLater) {
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  std::vector<int> fillers;
  std::unique_ptr<RawTcp> waiting;
  {
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 4096);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    // Room for the client's socket only: the listener cannot take the connection in.
    ::close(fillers.back());
    fillers.pop_back();
    int64_t before = host.listener().snapshot().connectionsTaken;
    waiting = std::make_unique<RawTcp>("127.0.0.1", "127.0.0.1", host.basePort());
    ASSERT_TRUE(waiting->connected());
    EXPECT_TRUE(host.log.waitFor("⚠️ listener: nie mogę przyjąć połączenia ("));
    EXPECT_EQ(host.log.count("— przerwa 100 ms i próbuję dalej"), 1u) << "out of descriptors, accepting pauses";
    // Several back-off rounds pass, and the trouble is told once.
    EXPECT_FALSE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken > before; }, std::chrono::milliseconds(500)));
    EXPECT_EQ(host.log.count("nie mogę przyjąć połączenia"), 1u);
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(waitUntil(host.listener(), [&] { return host.listener().snapshot().connectionsTaken > before; }));
  }
  EXPECT_EQ(host.log.count("nie mogę przyjąć połączenia"), 1u);
}

}  // namespace
}  // namespace vela
