// The client half of the encrypting wrapper (the host's test peer): a refused host, the intercept of its
// control channel, the rendezvous, the keepalive and the rebinding of its input flow. Its handshake and
// time-out run over real sockets in encrypted_loopback_test.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "e2e/ack_box.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_host_handshake.hpp"
#include "e2e/encrypted_transport.hpp"
#include "platform/runtime/scheduler.hpp"
#include "tests/e2e/e2e_test_support.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace vela {
namespace {

using e2etest::LogLines;
using e2etest::next;
using e2etest::packet;
using e2etest::trustAll;
using testkit::MemoryTransportPair;

const std::string plaintextLine = "🔐 host bez E2E (stary build?) — sesja plaintext";

// A host wrapper and a client wrapper joined in memory.
struct Session {
  explicit Session(E2EClientHandshake::VerifyHost verify = trustAll) {
    host = EncryptedTransport::host(pair.host, identity, true, hostLog.sink());
    client = EncryptedTransport::client(pair.client, e2etest::publicKeyOf(*identity), verify, clientLog.sink());
    // The host installs its key just after its ack leaves: wait for its line before going on.
    EXPECT_TRUE(hostLog.waitFor(1));
  }
  std::shared_ptr<const E2EIdentity> identity = e2etest::memoryIdentity();
  MemoryTransportPair pair = MemoryTransportPair::make();
  LogLines hostLog, clientLog;
  std::shared_ptr<EncryptedTransport> host, client;
};

TEST(EncryptedTransportClient, AHostThatVerifyRefusesLeavesThePlaintextSession) {
  auto refuse = [](const tavlo::Uuid&, ByteView, const tavlo::LogSink& log) {
    log("🔐 ❌ klucz hosta NIEZGODNY z pinem TOFU — odrzucam (możliwy MITM)");
    return false;
  };
  Session session(refuse);
  EXPECT_FALSE(session.client->isEncrypted());
  EXPECT_EQ(session.clientLog.lines(),
            (std::vector<std::string>{"🔐 ❌ klucz hosta NIEZGODNY z pinem TOFU — odrzucam (możliwy MITM)",
                                      plaintextLine}));
}

// The host side played by hand: a HostHello before the ack passes the client's intercept untouched.
TEST(EncryptedTransportClient, OtherControlPacketsPassTheInterceptUntouched) {
  auto identity = e2etest::memoryIdentity();
  auto pair = MemoryTransportPair::make();
  auto answering = std::async(std::launch::async, [&] {
    auto hello = next(pair.host->control().incoming());
    pair.host->control().send(packet(Channel::control, ControlType::hostHello, 30));
    pair.host->control().send(E2EHostHandshake::respond(*identity, false, *hello).answer->ackPacket);
  });
  auto client = EncryptedTransport::client(pair.client, std::nullopt, trustAll, {});
  answering.get();
  EXPECT_TRUE(client->isEncrypted());
  EXPECT_EQ(next(client->control().incoming()), packet(Channel::control, ControlType::hostHello, 30));
}

TEST(AckBox, TheFirstResolutionDecidesInEitherOrder) {
  tavlo::FakeClock clock;
  AckBox early;
  early.resolve(true);
  early.resolve(false);
  EXPECT_TRUE(early.wait(1500, clock)) << "an answer before the wait is taken at once, without time passing";

  AckBox late;
  EXPECT_FALSE(late.wait(0, clock)) << "no time left";
  late.resolve(true);  // after the time-out: changes nothing

  AckBox waited;
  auto result = std::async(std::launch::async, [&] { return waited.wait(1500, clock); });
  while (clock.waiterCount() == 0) std::this_thread::yield();
  waited.resolve(true);
  EXPECT_TRUE(result.get());
}

TEST(EncryptedTransportClient, KeepalivesLeaveEverySecondSealedUntilClose) {
  Session session;
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  session.client->startClientKeepalive(scheduler);
  session.client->startClientKeepalive(scheduler);  // replaces the first timer
  auto& audio = session.pair.client->memoryFlow(Channel::audio);
  auto& input = session.pair.client->memoryFlow(Channel::inputUnreliable);
  scheduler.advanceBy(999'999);
  EXPECT_EQ(audio.sent().size(), 0u);
  scheduler.advanceBy(1);
  ASSERT_EQ(audio.sent().size(), 1u);
  ASSERT_EQ(input.sent().size(), 1u);
  EXPECT_EQ(audio.sent().items()[0].size(), 48u) << "a sealed 16-byte header";
  scheduler.advanceBy(1'000'000);
  EXPECT_EQ(audio.sent().size(), 2u);
  EXPECT_EQ(input.sent().size(), 2u);

  // The host takes sealed keepalives on both flows.
  auto audioKeepalive = next(session.host->audio().incoming());
  ASSERT_TRUE(audioKeepalive);
  EXPECT_EQ(e2etest::headerOf(*audioKeepalive), (PacketHeader{Channel::audio, 0x00, {}, 0, 0}));
  EXPECT_EQ(audioKeepalive->size(), 16u);
  auto keepalive = next(session.host->inputUnreliable().incoming());
  ASSERT_TRUE(keepalive);
  EXPECT_EQ(e2etest::headerOf(*keepalive), (PacketHeader{Channel::inputUnreliable, 0x00, {}, 0, 0}));

  session.client->close();
  scheduler.advanceBy(5'000'000);
  EXPECT_EQ(audio.sent().size(), 2u);
  EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST(EncryptedTransportClient, ARebindSendsASealedBindHeaderThatTheHostAdoptsTheNewSourceBy) {
  Session session;
  auto& clientInput = session.pair.client->memoryFlow(Channel::inputUnreliable);
  auto& hostInner = session.pair.host->memoryFlow(Channel::inputUnreliable);
  ASSERT_TRUE(session.client->rebindInputFlow());
  auto onWire = clientInput.sent().items();
  ASSERT_EQ(onWire.size(), 2u);
  EXPECT_EQ(onWire[0].size(), 16u) << "the inner rebind's plain bind header first";
  EXPECT_TRUE(E2EEnvelope::isEnvelope(onWire[1])) << "then the wrapper's sealed one";
  auto adopted = next(session.host->inputUnreliable().incoming());
  ASSERT_TRUE(adopted);
  EXPECT_EQ(e2etest::headerOf(*adopted).channel, Channel::inputUnreliable);
  EXPECT_EQ(hostInner.adoptions(), 1);

  // A transport that cannot rebind sends nothing.
  EXPECT_FALSE(session.host->rebindInputFlow());
}

}  // namespace
}  // namespace vela
