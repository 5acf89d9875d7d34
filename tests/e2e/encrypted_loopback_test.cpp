// An encrypted session over the real direct path on loopback: the host listener and the direct dialer,
// each wrapped in the encrypting transport, with taps between the wrappers and the sockets.
#include <gtest/gtest.h>

#include <chrono>

#include "e2e/e2e_client_handshake.hpp"
#include "e2e/e2e_crypto.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_messages.hpp"
#include "e2e/encrypted_transport.hpp"
#include "e2e/replay_window.hpp"
#include "platform/runtime/scheduler.hpp"
#include "tests/e2e/e2e_test_support.hpp"
#include "tests/testkit/tapped_transport.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"

namespace vela {
namespace {

using e2etest::LogLines;
using e2etest::next;
using e2etest::packet;
using e2etest::trustAll;
using testkit::TappedTransport;

// The next datagram past bind headers: the dialer's own bind datagrams may reach the host after the key
// (they pass unsealed, and every receiver ignores them).
std::optional<Bytes> nextDatagram(PacketStream& stream) {
  for (;;) {
    auto datagram = next(stream);
    if (!datagram || datagram->size() != PacketHeader::byteCount || (*datagram)[6] != 0x00) return datagram;
  }
}

bool startsWithEnvelopeMagic(ByteView bytes) {
  return bytes.size() >= 4 && std::equal(E2EEnvelope::magic.begin(), E2EEnvelope::magic.end(), bytes.begin());
}

// A listening host (its late-flow checks on a manual scheduler) and one dialed client, both tapped.
struct Loopback {
  Loopback() {
    EXPECT_TRUE(host.start());
    auto pair = testkit::connectPair(host);
    EXPECT_TRUE(pair.client && pair.host);
    hostInner = pair.host;
    clientInner = pair.client;
    hostTap = std::make_shared<TappedTransport>(pair.host);
    clientTap = std::make_shared<TappedTransport>(pair.client);
  }
  ~Loopback() { host.stop(); }

  Bytes hostKey() const { return e2etest::publicKeyOf(*identity); }

  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  testkit::LoopbackHost host{&scheduler};
  std::shared_ptr<const E2EIdentity> identity = e2etest::memoryIdentity();
  std::shared_ptr<DirectSessionTransport> hostInner, clientInner;
  std::shared_ptr<TappedTransport> hostTap, clientTap;
  LogLines hostLog, clientLog;
};

TEST(EncryptedLoopback, ASessionOverTheDirectPathIsSealedEndToEnd) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto started = std::chrono::steady_clock::now();
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(client->isEncrypted());
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  EXPECT_TRUE(hostWrapper->isEncrypted());
  const std::vector<std::string> keyed{"🔐 E2E aktywne (ChaCha20-Poly1305, ECDH efemeryczny)"};
  EXPECT_EQ(loop.hostLog.lines(), keyed);
  EXPECT_EQ(loop.clientLog.lines(), keyed);
  RecordProperty("handshake_us", static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));

  // One hello with the gate MAC, and exactly one unsealed 160-byte ack on the host's control channel.
  EXPECT_EQ(loop.clientTap->sent(Channel::control).items().at(0).size(), 16u + 80);
  auto acks = loop.hostTap->sent(Channel::control).items();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].size(), 160u);
  EXPECT_FALSE(startsWithEnvelopeMagic(acks[0]));

  // Traffic on every channel both ways.
  client->control().send(packet(Channel::control, ControlType::clientHello, 40));
  client->inputReliable().send(packet(Channel::inputReliable, 0x30, 10));
  client->video().send(packet(Channel::video, 0x13, 31));
  client->audio().send(packet(Channel::audio, 0x21, 300));
  client->inputUnreliable().send(packet(Channel::inputUnreliable, 0x40, 20));
  EXPECT_EQ(next(hostWrapper->control().incoming()), packet(Channel::control, ControlType::clientHello, 40));
  EXPECT_EQ(next(hostWrapper->inputReliable().incoming()), packet(Channel::inputReliable, 0x30, 10));
  EXPECT_EQ(nextDatagram(hostWrapper->video().incoming()), packet(Channel::video, 0x13, 31));
  EXPECT_EQ(nextDatagram(hostWrapper->audio().incoming()), packet(Channel::audio, 0x21, 300));
  EXPECT_EQ(next(hostWrapper->inputUnreliable().incoming()), packet(Channel::inputUnreliable, 0x40, 20));

  hostWrapper->control().send(packet(Channel::control, ControlType::hostHello, 30));
  Bytes chunk = packet(Channel::video, 0x10, 24 + maxVideoChunkPayload);
  hostWrapper->video().send(chunk);
  hostWrapper->audio().send(packet(Channel::audio, 0x20, 400));
  EXPECT_EQ(next(client->control().incoming()), packet(Channel::control, ControlType::hostHello, 30));
  EXPECT_EQ(nextDatagram(client->video().incoming()), chunk) << "a full 1,310-byte chunk fits once sealed";
  EXPECT_EQ(nextDatagram(client->audio().incoming()), packet(Channel::audio, 0x20, 400));

  // A sealed packet for reliable input that travels on the inner control channel is re-sorted by its header.
  client->control().send(packet(Channel::inputReliable, 0x31, 5));
  EXPECT_EQ(next(hostWrapper->inputReliable().incoming()), packet(Channel::inputReliable, 0x31, 5));

  // Everything after the handshake, both ways and on every channel, left sealed.
  for (auto* tap : {loop.hostTap.get(), loop.clientTap.get()}) {
    for (Channel channel : allChannels) {
      auto items = tap->sent(channel).items();
      size_t first = channel == Channel::control ? 1 : 0;  // the hello and the ack
      for (size_t i = first; i < items.size(); ++i) {
        EXPECT_TRUE(startsWithEnvelopeMagic(items[i])) << "channel " << int(rawValue(channel)) << " item " << i;
      }
    }
  }
}

// Envelopes hide their channel from the multiplex; a burst of sealed packets on both reliable channels
// (a clipboard upload while keys are typed) still arrives whole and in order on each channel.
TEST(EncryptedLoopback, ABurstOnBothReliableChannelsKeepsEachChannelsOrder) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  constexpr uint32_t count = 3000;  // about a dozen envelopes whose nonce byte looks like reliable input
  for (uint32_t seq = 1; seq <= count; ++seq) {
    client->control().send(packet(Channel::control, ControlType::clipData, 2048, seq));
    if (seq % 3 == 0) client->inputReliable().send(packet(Channel::inputReliable, 0x30, 10, seq));
  }
  for (uint32_t seq = 1; seq <= count; ++seq) {
    auto got = next(hostWrapper->control().incoming());
    ASSERT_TRUE(got) << "control packet " << seq << " never came";
    ASSERT_EQ(e2etest::headerOf(*got).seq, seq) << "control packets overtook each other";
  }
  for (uint32_t seq = 3; seq <= count; seq += 3) {
    auto got = next(hostWrapper->inputReliable().incoming());
    ASSERT_TRUE(got) << "input packet " << seq << " never came";
    ASSERT_EQ(e2etest::headerOf(*got).seq, seq) << "input packets overtook each other";
  }
}

TEST(EncryptedLoopback, TheClientsInputRebindIsAdoptedThroughTheSealedBindHeader) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(loop.hostLog.waitFor(1));

  ASSERT_TRUE(client->rebindInputFlow());
  auto sent = loop.clientTap->sent(Channel::inputUnreliable).items();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(startsWithEnvelopeMagic(sent[0])) << "the wrapper's bind header leaves sealed";

  // The listener offers the new source to the live session after its delay; nothing came from the old
  // socket for longer than a keepalive, so the sealed header adopts it.
  ASSERT_TRUE(testkit::waitUntil(loop.host.listener(), [&] {
    return !loop.host.listener().snapshot().unpairedFlowRemotes[static_cast<size_t>(Slot::inputUnreliable)].empty();
  }));
  loop.clock.advanceUs(RebindableUDPFlow::primarySilenceUs);
  loop.scheduler.advanceBy(HostListener::lateChildDelayUs);
  ASSERT_TRUE(testkit::waitUntil(loop.host.listener(), [&] { return loop.hostInner->inputBox()->adoptions() == 1; }));
  auto bind = next(hostWrapper->inputUnreliable().incoming());
  ASSERT_TRUE(bind);
  EXPECT_EQ(e2etest::headerOf(*bind), (PacketHeader{Channel::inputUnreliable, 0x00, {}, 0, 0}));
  client->inputUnreliable().send(packet(Channel::inputUnreliable, 0x40, 12));
  EXPECT_EQ(next(hostWrapper->inputUnreliable().incoming()), packet(Channel::inputUnreliable, 0x40, 12));
}

// Someone who sees the wire sends a sealed datagram again from a port of its own: one the client sent
// (replayed) or one the host sent (reflected back at the host). It proves nothing: the candidate is
// dropped after its datagrams without proof, the flow stays with the client and no copy reaches the
// session.
TEST(EncryptedLoopback, ASealedDatagramSentAgainFromAnotherPortLeavesTheFlowWhereItWas) {
  for (bool reflected : {false, true}) {
    SCOPED_TRACE(reflected ? "reflected" : "replayed");
    Loopback loop;
    auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
    auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
    ASSERT_TRUE(client->isEncrypted());
    ASSERT_TRUE(loop.hostLog.waitFor(1));
    client->video().send(packet(Channel::video, 0x13, 31, 1));
    ASSERT_EQ(nextDatagram(hostWrapper->video().incoming()), packet(Channel::video, 0x13, 31, 1));
    hostWrapper->video().send(packet(Channel::video, 0x10, 200, 1));
    ASSERT_EQ(nextDatagram(client->video().incoming()), packet(Channel::video, 0x10, 200, 1));
    const Bytes captured = (reflected ? loop.hostTap : loop.clientTap)->sent(Channel::video).items().back();

    testkit::RawUdp attacker;
    const uint16_t videoPort = static_cast<uint16_t>(loop.host.basePort() + 1);
    attacker.sendTo("127.0.0.1", videoPort, captured);
    ASSERT_TRUE(testkit::waitUntil(loop.host.listener(), [&] {
      return !loop.host.listener().snapshot().unpairedFlowRemotes[static_cast<size_t>(Slot::video)].empty();
    }));
    loop.scheduler.advanceBy(HostListener::lateChildDelayUs);
    ASSERT_TRUE(loop.host.log.waitFor("kandydat " + attacker.description()));
    for (int i = 0; i < RebindableUDPFlow::maxRejections; ++i) attacker.sendTo("127.0.0.1", videoPort, captured);
    EXPECT_TRUE(loop.host.log.waitFor("kandydat " + attacker.description() + " odrzucony"));
    EXPECT_EQ(loop.hostInner->videoBox()->adoptions(), 0);

    hostWrapper->video().send(packet(Channel::video, 0x10, 200, 2));
    EXPECT_EQ(nextDatagram(client->video().incoming()), packet(Channel::video, 0x10, 200, 2)) << "still the client's";
    client->video().send(packet(Channel::video, 0x13, 31, 2));
    EXPECT_EQ(nextDatagram(hostWrapper->video().incoming()), packet(Channel::video, 0x13, 31, 2)) << "no copy came first";
  }
}

// Bytes written into the connection past the client's wrapper, as a relay on the way could: a sealed
// key press sent a second time is not typed twice.
TEST(EncryptedLoopback, ASealedFrameWrittenAgainIntoTheConnectionIsNotDeliveredTwice) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  client->inputReliable().send(packet(Channel::inputReliable, 0x30, 10, 1));
  ASSERT_EQ(next(hostWrapper->inputReliable().incoming()), packet(Channel::inputReliable, 0x30, 10, 1));
  const Bytes captured = loop.clientTap->sent(Channel::inputReliable).items().back();
  loop.clientInner->inputReliable().send(captured);
  loop.clientInner->control().send(captured);
  client->inputReliable().send(packet(Channel::inputReliable, 0x30, 10, 2));
  auto delivered = next(hostWrapper->inputReliable().incoming());
  ASSERT_TRUE(delivered);
  EXPECT_EQ(e2etest::headerOf(*delivered).seq, 2u) << "the copies were dropped";
}

// More packets than a datagram flow's window holds, each one taken before the next batch: after them,
// the first packet of the session is one the window has forgotten.
constexpr uint32_t pastTheWindow = ReplayWindow::datagramCapacity + 64;

// Sends the packets numbered `first` to pastTheWindow on `from`, a batch at a time so that no queue
// overflows, and checks that each reaches `at` in order (bind datagrams skipped).
void sendPastTheWindow(DatagramFlow& from, PacketStream& at, Channel channel, uint8_t type, uint32_t first) {
  constexpr uint32_t batch = 256;
  for (uint32_t seq = first; seq <= pastTheWindow; seq += batch) {
    const uint32_t end = std::min(seq + batch, pastTheWindow + 1);
    for (uint32_t s = seq; s < end; ++s) from.send(packet(channel, type, 20, s));
    for (uint32_t s = seq; s < end; ++s) {
      auto got = nextDatagram(at);
      ASSERT_TRUE(got) << "packet " << s << " never came";
      ASSERT_EQ(e2etest::headerOf(*got).seq, s);
    }
  }
}

// A pointer move captured at the start of the session, sent again from another address once the client
// has sent more input datagrams than the window holds: it opens under the key like a new one, but the
// client is still sending, so the flow stays with it and the copy reaches nothing.
TEST(EncryptedLoopback, ACopyOlderThanTheWindowSentFromAnotherAddressLeavesTheFlowWithTheClient) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  auto& hostInput = hostWrapper->inputUnreliable().incoming();
  client->inputUnreliable().send(packet(Channel::inputUnreliable, 0x40, 20, 0));
  ASSERT_EQ(next(hostInput), packet(Channel::inputUnreliable, 0x40, 20, 0));
  const Bytes captured = loop.clientTap->sent(Channel::inputUnreliable).items().back();
  ASSERT_NO_FATAL_FAILURE(sendPastTheWindow(client->inputUnreliable(), hostInput, Channel::inputUnreliable, 0x40, 1));

  testkit::RawUdp replayer;
  const uint16_t inputPort = static_cast<uint16_t>(loop.host.basePort() + 3);
  replayer.sendTo("127.0.0.1", inputPort, captured);
  ASSERT_TRUE(testkit::waitUntil(loop.host.listener(), [&] {
    return !loop.host.listener().snapshot().unpairedFlowRemotes[static_cast<size_t>(Slot::inputUnreliable)].empty();
  }));
  loop.scheduler.advanceBy(HostListener::lateChildDelayUs);
  ASSERT_TRUE(loop.host.log.waitFor("kandydat " + replayer.description()));
  auto& box = *loop.hostInner->inputBox();
  testkit::waitUntil(loop.host.listener(), [&] {
    return box.adoptions() > 0 || loop.host.log.count("kandydat " + replayer.description() + " ma pieczęć") > 0;
  });
  EXPECT_EQ(box.adoptions(), 0) << "the flow stays with the client";

  hostWrapper->inputUnreliable().send(packet(Channel::inputUnreliable, 0x40, 4, 1));
  EXPECT_EQ(nextDatagram(client->inputUnreliable().incoming()), packet(Channel::inputUnreliable, 0x40, 4, 1))
      << "the host still sends to the client";
  client->inputUnreliable().send(packet(Channel::inputUnreliable, 0x40, 20, pastTheWindow + 1));
  auto delivered = next(hostInput);
  ASSERT_TRUE(delivered);
  EXPECT_EQ(e2etest::headerOf(*delivered).seq, pastTheWindow + 1) << "the old pointer move was not taken again";
}

// On the video flow a client speaks only when something was lost, so its silence there says nothing: a
// copy older than the window, sent from another address while the client's keepalives still come on
// its other flows, leaves the quiet flow with the client; a new port of the client's own address (its
// NAT's new mapping for the quiet flow) takes it.
TEST(EncryptedLoopback, ACopyOlderThanTheWindowTakesNotTheQuietVideoFlowFromAClientThatStillSends) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  auto& hostVideo = hostWrapper->video().incoming();
  auto& hostInput = hostWrapper->inputUnreliable().incoming();
  // Two reports captured: a copy proves itself once, the first to come.
  std::vector<Bytes> captured;
  for (uint32_t seq = 0; seq < 2; ++seq) {
    client->video().send(packet(Channel::video, 0x20, 20, seq));
    ASSERT_EQ(nextDatagram(hostVideo), packet(Channel::video, 0x20, 20, seq));
    captured.push_back(loop.clientTap->sent(Channel::video).items().back());
  }
  ASSERT_NO_FATAL_FAILURE(sendPastTheWindow(client->video(), hostVideo, Channel::video, 0x20, 2));
  // Two seconds of nothing on the video flow; the client's input keepalives go on.
  for (uint32_t second = 1; second <= 2; ++second) {
    loop.clock.advanceUs(1'000'000);
    client->inputUnreliable().send(packet(Channel::inputUnreliable, 0x40, 20, second));
    ASSERT_TRUE(nextDatagram(hostInput));
  }

  auto& box = *loop.hostInner->videoBox();
  const uint16_t videoPort = static_cast<uint16_t>(loop.host.basePort() + 1);
  auto offer = [&](testkit::RawUdp& source, const Bytes& copy) {
    source.sendTo("127.0.0.1", videoPort, copy);
    EXPECT_TRUE(testkit::waitUntil(loop.host.listener(), [&] {
      return !loop.host.listener().snapshot().unpairedFlowRemotes[static_cast<size_t>(Slot::video)].empty();
    }));
    loop.scheduler.advanceBy(HostListener::lateChildDelayUs);
    EXPECT_TRUE(loop.host.log.waitFor("kandydat " + source.description()));
    testkit::waitUntil(loop.host.listener(), [&] {
      return box.adoptions() > 0 || loop.host.log.count("kandydat " + source.description() + " ma pieczęć") > 0;
    });
  };
  testkit::RawUdp elsewhere("127.0.0.66");
  offer(elsewhere, captured[0]);
  EXPECT_EQ(box.adoptions(), 0) << "a copy from another address took the quiet flow of a client that still sends";

  testkit::RawUdp newPort;
  offer(newPort, captured[1]);
  EXPECT_EQ(box.adoptions(), 1) << "a new port of the client's own address takes the quiet flow";
}

// Through a relay, or anyone who can write into the connection: a key press captured at the start of
// the session and written again after more reliable frames than any datagram window holds is not typed
// again.
TEST(EncryptedLoopback, AKeyFrameWrittenAgainLongAfterIsNotTypedAgain) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  auto& hostInput = hostWrapper->inputReliable().incoming();
  client->inputReliable().send(packet(Channel::inputReliable, InputReliableType::key, 10, 0));
  ASSERT_EQ(next(hostInput), packet(Channel::inputReliable, InputReliableType::key, 10, 0));
  const Bytes captured = loop.clientTap->sent(Channel::inputReliable).items().back();
  for (uint32_t seq = 1; seq <= pastTheWindow; ++seq)
    client->inputReliable().send(packet(Channel::inputReliable, InputReliableType::scroll, 12, seq));
  for (uint32_t seq = 1; seq <= pastTheWindow; ++seq) {
    auto got = next(hostInput);
    ASSERT_TRUE(got) << "scroll " << seq << " never came";
    ASSERT_EQ(e2etest::headerOf(*got).seq, seq);
  }

  loop.clientInner->inputReliable().send(captured);
  loop.clientInner->control().send(captured);
  client->inputReliable().send(packet(Channel::inputReliable, InputReliableType::key, 10, pastTheWindow + 1));
  auto delivered = next(hostInput);
  ASSERT_TRUE(delivered);
  EXPECT_EQ(e2etest::headerOf(*delivered).seq, pastTheWindow + 1) << "the old key press was dropped";
}

TEST(EncryptedLoopback, AClientWithoutTheHostKeyMeetsSilence) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  tavlo::FakeClock clientClock;
  std::shared_ptr<EncryptedTransport> client;
  std::thread dialing([&] { client = EncryptedTransport::client(loop.clientTap, std::nullopt, trustAll, loop.clientLog.sink(), clientClock); });
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  EXPECT_EQ(loop.hostLog.lines()[0], "🔒 odrzucono nieautoryzowane połączenie (brak/zły klucz bramki) — cisza");
  auto hello = loop.clientTap->sent(Channel::control).items();
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_EQ(hello[0].size(), 16u + 48) << "no gate MAC";
  while (clientClock.waiterCount() == 0) std::this_thread::yield();
  clientClock.advanceUs(1'500'000);
  dialing.join();
  EXPECT_FALSE(client->isEncrypted());
  EXPECT_EQ(loop.clientLog.lines(), std::vector<std::string>{"🔐 host bez E2E (stary build?) — sesja plaintext"});
  EXPECT_EQ(loop.hostTap->sent(Channel::control).size(), 0u) << "nothing answered";
  client->control().send(packet(Channel::control, ControlType::clientHello, 40));
  client->close();
  EXPECT_EQ(next(hostWrapper->control().incoming()), std::nullopt) << "plaintext never reaches the session";
}

TEST(EncryptedLoopback, AnAllZeroClientKeyMeetsSilence) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  E2EHello hello;
  hello.gateMac = *E2ECrypto::gateMac(loop.hostKey(), hello.ephPub, hello.nonce);
  loop.clientInner->control().send(encodePacket(hello, 0, 0));
  ASSERT_TRUE(loop.hostLog.waitFor(1));
  EXPECT_EQ(loop.hostLog.lines(), std::vector<std::string>{"🔐 ❌ E2E_HELLO: zła efemeryda klienta"});
  EXPECT_EQ(loop.hostTap->sent(Channel::control).size(), 0u);
  EXPECT_FALSE(hostWrapper->isEncrypted());
}

// Bytes written straight into the connection, past the client's wrapper, as a relay on the way could.
TEST(EncryptedLoopback, InjectedPlaintextAndAnUnsealedReHelloAreDroppedAfterTheKey) {
  Loopback loop;
  auto hostWrapper = EncryptedTransport::host(loop.hostTap, loop.identity, true, loop.hostLog.sink());
  auto client = EncryptedTransport::client(loop.clientTap, loop.hostKey(), trustAll, loop.clientLog.sink());
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(loop.hostLog.waitFor(1));

  loop.clientInner->inputReliable().send(packet(Channel::inputReliable, 0x31, 8, 1));
  loop.clientInner->control().send(E2EClientHandshake::start(loop.hostKey())->helloPacket());
  client->inputReliable().send(packet(Channel::inputReliable, 0x31, 8, 2));
  client->control().send(packet(Channel::control, ControlType::ping, 8, 3));
  auto input = next(hostWrapper->inputReliable().incoming());
  ASSERT_TRUE(input);
  EXPECT_EQ(e2etest::headerOf(*input).seq, 2u) << "the injected text was dropped";
  auto control = next(hostWrapper->control().incoming());
  ASSERT_TRUE(control);
  EXPECT_EQ(e2etest::headerOf(*control).seq, 3u) << "the old key still opens: no re-key";
  EXPECT_EQ(loop.hostTap->sent(Channel::control).size(), 1u) << "no second ack";
}

}  // namespace
}  // namespace vela
