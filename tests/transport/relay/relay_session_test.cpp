// The relay path end to end, against our own relay service: the host link registers, a client
// dialer's connect is joined by the host, and the two transports talk through the service.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/testkit/temp_dir.hpp"
#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/relay_connection.hpp"
#include "transport/relay_session_transport.hpp"
#include "transport/transport_error.hpp"

extern char** environ;

namespace vela {
namespace {

using namespace relaytest;

TEST(RelaySession, TheServiceVerifiesTheRegistrationAndAnswersProbesWithWhatTheHostPublished) {
  RelayWorld world;
  ASSERT_TRUE(world.startHost());
  const std::string& id = world.identity.hostID;
  EXPECT_EQ(world.dialer.probe(id, world.identity.sigPub(), 5000), (RelayProbeResult{true, std::nullopt, false, true}));

  world.link->publishEndpoint("203.0.113.5:47700");
  world.link->publishRelayData(false);
  ASSERT_TRUE(world.relayLog.waitFor("sesje przez relay nie"));
  EXPECT_EQ(world.dialer.probe(id, world.identity.sigPub(), 5000),
            (RelayProbeResult{true, "203.0.113.5:47700", true, false}));
  // A host that refuses relayed sessions gets none.
  EXPECT_THROW(world.dialer.connect(id, world.identity.sigPub()), TransportError);

  // A client that does not know the host's key learns nothing.
  TestIdentity stranger;
  EXPECT_EQ(world.dialer.probe(id, stranger.sigPub(), 5000), RelayProbeResult{});
}

TEST(RelaySession, TheServiceRefusesAHostWhoseSignatureDoesNotVerify) {
  RelayWorld world;
  TestIdentity other;
  auto params = world.linkParams();
  params.sign = other.signer();  // signs with a key that is not the one it registers
  world.link = RelayHostLink::create(params);
  world.link->start();
  EXPECT_TRUE(world.relayLog.waitFor("odrzucona rejestracja"));
  // Closed by the service, the registration ends (with a reset or an end of stream) and is retried.
  auto failed = world.hostLog.waitFor("rejestracja padła (");
  ASSERT_TRUE(failed);
  EXPECT_TRUE(failed->ends_with("— ponawiam za 1s")) << *failed;
  EXPECT_EQ(world.server->counters().registeredHosts, 0u);
}

TEST(RelaySession, AConnectIsAnnouncedJoinedAndYieldsATransportPair) {
  RelayWorld world;
  int requests = 0;
  world.link->setOnSessionRequest([&] { ++requests; });
  ASSERT_TRUE(world.startHost());
  auto pair = world.connectPair();
  ASSERT_TRUE(pair.client && pair.host);
  EXPECT_TRUE(world.hostLog.waitFor("🛰 relay: nowa sesja "));
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(pair.host->remoteDescription(), "relay/klient/127.0.0.1") << "the client as the service named it";
  EXPECT_EQ(pair.client->remoteDescription(), "relay/3F2504E0");
  EXPECT_TRUE(isRelayedDescription(pair.host->remoteDescription()));
  EXPECT_TRUE(isRelayedDescription(pair.client->remoteDescription()));
  EXPECT_EQ(pair.host->video().maxDatagramSize(), 1328);

  // Frames cross both ways on both reliable channels, in order.
  for (int i = 0; i < 20; ++i) pair.client->control().send(packet(0, "c" + std::to_string(i)));
  pair.client->inputReliable().send(packet(3, "key"));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(receiveWithin(pair.host->control().incoming()), packet(0, "c" + std::to_string(i)));
  EXPECT_EQ(receiveWithin(pair.host->inputReliable().incoming()), packet(3, "key"));
  std::string large(200'000, 'x');
  pair.host->control().send(packet(0, large));
  pair.host->inputReliable().send(packet(3, "ack"));
  EXPECT_EQ(receiveWithin(pair.client->control().incoming()), packet(0, large));
  EXPECT_EQ(receiveWithin(pair.client->inputReliable().incoming()), packet(3, "ack"));
}

TEST(RelaySession, DatagramsCrossOnEachSlotToTheSameSlotOnly) {
  RelayWorld world;
  ASSERT_TRUE(world.startHost());
  auto pair = world.connectPair();
  ASSERT_TRUE(pair.client && pair.host);
  ASSERT_TRUE(world.flowsBound());
  struct Slot {
    const char* name;
    DatagramFlow& (SessionTransport::*flow)();
  };
  const Slot slots[] = {{"video", &SessionTransport::video},
                        {"audio", &SessionTransport::audio},
                        {"inputUnreliable", &SessionTransport::inputUnreliable}};
  for (const Slot& slot : slots) {
    ((*pair.host).*slot.flow)().send(packet(1, std::string("to client on ") + slot.name));
    ((*pair.client).*slot.flow)().send(packet(1, std::string("to host on ") + slot.name));
  }
  for (const Slot& slot : slots) {
    EXPECT_EQ(receiveWithin(((*pair.client).*slot.flow)().incoming()), packet(1, std::string("to client on ") + slot.name));
    EXPECT_EQ(receiveWithin(((*pair.host).*slot.flow)().incoming()), packet(1, std::string("to host on ") + slot.name));
  }
  // A batch keeps its order; nothing strayed into another slot or back to its sender.
  Bytes a = packet(1, "a"), b = packet(1, "b"), c(1328, 0xCC);
  ByteView batch[] = {a, b, c};
  pair.host->video().sendBatch(batch);
  EXPECT_EQ(receiveWithin(pair.client->video().incoming()), a);
  EXPECT_EQ(receiveWithin(pair.client->video().incoming()), b);
  EXPECT_EQ(receiveWithin(pair.client->video().incoming()), c);
  for (const Slot& slot : slots) {
    EXPECT_EQ(((*pair.client).*slot.flow)().incoming().size(), 0u) << slot.name;
    EXPECT_EQ(((*pair.host).*slot.flow)().incoming().size(), 0u) << slot.name;
  }
}

TEST(RelaySession, TwoClientsGetTwoIndependentSessions) {
  RelayWorld world;
  ASSERT_TRUE(world.startHost());
  auto first = world.connectPair();
  auto second = world.connectPair();
  ASSERT_TRUE(first.host && second.host);
  first.client->control().send(packet(0, "first"));
  second.client->control().send(packet(0, "second"));
  EXPECT_EQ(receiveWithin(first.host->control().incoming()), packet(0, "first"));
  EXPECT_EQ(receiveWithin(second.host->control().incoming()), packet(0, "second"));
  ASSERT_TRUE(world.flowsBound());
  second.host->audio().send(packet(2, "second audio"));
  EXPECT_EQ(receiveWithin(second.client->audio().incoming()), packet(2, "second audio"));
  EXPECT_EQ(first.client->audio().incoming().size(), 0u);
}

TEST(RelaySession, ClosingOrReleasingATransportEndsItsConnectionForThePeer) {
  RelayWorld world;
  ASSERT_TRUE(world.startHost());
  auto pair = world.connectPair();
  ASSERT_TRUE(pair.client && pair.host);
  pair.host->close();
  for (PacketStream* stream :
       {&pair.host->control().incoming(), &pair.host->inputReliable().incoming(), &pair.host->video().incoming(),
        &pair.host->audio().incoming(), &pair.host->inputUnreliable().incoming()})
    EXPECT_TRUE(stream->isFinished());
  pair.host->close();  // a second close changes nothing
  EXPECT_TRUE(pair.host->control().incoming().isFinished());
  // The service ends the client's half of the spliced connection.
  EXPECT_FALSE(receiveWithin(pair.client->control().incoming()));
  EXPECT_TRUE(pair.client->control().incoming().isFinished());

  // A released transport takes its connection with it.
  auto released = world.connectPair();
  ASSERT_TRUE(released.client && released.host);
  released.client.reset();
  EXPECT_FALSE(receiveWithin(released.host->control().incoming()));
  EXPECT_TRUE(released.host->control().incoming().isFinished());
}

TEST(RelaySession, TheServiceListensOnLoopbackOnlyUnlessToldOtherwise) {
  RelayWorld world;  // default options
  auto reach = [&](const std::string& address) {
    auto connection = tavlo::TcpConnection::dial(tavlo::NetThread::start("reach.test"), address,
                                                 world.server->tcpPort(), tavlo::ServiceClass::bestEffort);
    try {
      RelayConnection::start(connection);
      return true;
    } catch (const TransportError&) {
      return false;
    }
  };
  EXPECT_TRUE(reach("127.0.0.1"));
  EXPECT_FALSE(reach("127.0.0.2"));  // another address of this machine
}

#ifdef TAVLO_RELAY_TOOL
// The built tool, as a developer runs it: free ports on loopback, stopped by SIGTERM; the host's key is
// pinned in the state file, and the operator can unpin it.
TEST(RelaySession, TheBuiltToolServesAHostAndAClient) {
  tavlo::testkit::TempDir dir;
  const std::string stateFile = (dir / "relay-state.json").string();
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* argv[] = {TAVLO_RELAY_TOOL, "--tcp-port", "0", "--udp-port", "0", "--state", stateFile.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, TAVLO_RELAY_TOOL, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  FILE* stdoutOfTool = ::fdopen(out[0], "r");
  char address[64] = {};
  unsigned tcpPort = 0, udpPort = 0;
  ASSERT_EQ(std::fscanf(stdoutOfTool, "tavlo-relay %63s tcp %u udp %u", address, &tcpPort, &udpPort), 3);
  EXPECT_STREQ(address, "127.0.0.1");

  {
    RelayWorld world(RelayService{address, static_cast<uint16_t>(tcpPort), static_cast<uint16_t>(udpPort)});
    ASSERT_TRUE(world.startHost());
    auto pair = world.connectPair();
    ASSERT_TRUE(pair.client && pair.host);
    pair.client->control().send(packet(0, "through the tool"));
    EXPECT_EQ(receiveWithin(pair.host->control().incoming()), packet(0, "through the tool"));
  }

  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::fclose(stdoutOfTool);

  EXPECT_EQ(tavlo::testkit::fileMode(stateFile), 0600u);
  auto unpin = [&] {
    const std::string hostID = TestIdentity().hostID;
    const char* unpinArgv[] = {TAVLO_RELAY_TOOL, "--state", stateFile.c_str(), "--unpin", hostID.c_str(), nullptr};
    pid_t child = 0;
    EXPECT_EQ(posix_spawn(&child, TAVLO_RELAY_TOOL, nullptr, nullptr, const_cast<char**>(unpinArgv), environ), 0);
    int exit = 0;
    EXPECT_EQ(::waitpid(child, &exit, 0), child);
    return WIFEXITED(exit) ? WEXITSTATUS(exit) : -1;
  };
  EXPECT_EQ(unpin(), 0) << "the pin was there";
  EXPECT_EQ(unpin(), 1) << "and is gone";
}
#endif

}  // namespace
}  // namespace vela
