// The encrypting wrapper, host side, over an in-memory transport pair: silence for a bad hello, the inbound
// rules before and after the key, routing, sizes, re-keying, adoption and close. The handshake itself runs
// over real sockets in encrypted_loopback_test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "e2e/e2e_client_handshake.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/encrypted_transport.hpp"
#include "e2e/replay_window.hpp"
#include "platform/crypto/random_bytes.hpp"
#include "tests/e2e/e2e_test_support.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace vela {
namespace {

using e2etest::LogLines;
using e2etest::next;
using e2etest::packet;
using testkit::MemoryTransportPair;
using tavlo::crypto::SymmetricKey;

const std::string gateLine = "🔒 odrzucono nieautoryzowane połączenie (brak/zły klucz bramki) — cisza";

// A host wrapper over one side of a memory pair; the test plays the client on the other, raw side.
struct Host {
  explicit Host(bool requireSecure = true, int maxDatagramSize = defaultMaxDatagramSize)
      : pair(MemoryTransportPair::make(maxDatagramSize)),
        wrapper(EncryptedTransport::host(pair.host, identity, requireSecure, log.sink())) {}

  Bytes hostKey() const { return e2etest::publicKeyOf(*identity); }
  testkit::MemoryReliableChannel& rawClient(Channel channel) { return pair.client->memoryReliable(channel); }
  testkit::MemoryDatagramFlow& rawClientFlow(Channel channel) { return pair.client->memoryFlow(channel); }

  // Runs the client half by hand and returns the agreed key.
  SymmetricKey handshake() {
    auto client = E2EClientHandshake::start(hostKey());
    size_t before = log.lines().size();
    rawClient(Channel::control).send(client->helloPacket());
    auto ack = next(rawClient(Channel::control).incoming());
    EXPECT_TRUE(ack);
    auto result = client->judgeAck(*ack, [](auto&&...) { return true; }, {});
    EXPECT_EQ(result.verdict, E2EClientHandshake::Verdict::keyed);
    EXPECT_TRUE(log.waitFor(before + 1));  // the key is installed before the line
    return *result.key;
  }

  std::shared_ptr<const E2EIdentity> identity = e2etest::memoryIdentity();
  LogLines log;
  MemoryTransportPair pair;
  std::shared_ptr<EncryptedTransport> wrapper;
};

Bytes sealed(ByteView packet, const SymmetricKey& key) {
  return *E2EEnvelope::seal(packet, key, tavlo::crypto::randomArray<E2EEnvelope::nonceSize>());
}

TEST(EncryptedTransportHost, AHelloWithoutAValidGateMacGetsSilenceAndNothingPassesLater) {
  Bytes strangerKey = e2etest::publicKeyOf(*e2etest::memoryIdentity("stranger"));
  for (std::optional<Bytes> macKey : {std::optional<Bytes>(), std::optional<Bytes>(strangerKey)}) {
    Host host;
    host.rawClient(Channel::control).send(E2EClientHandshake::start(macKey)->helloPacket());
    ASSERT_TRUE(host.log.waitFor(1));
    EXPECT_EQ(host.log.lines(), std::vector<std::string>{gateLine});
    EXPECT_EQ(host.pair.host->memoryReliable(Channel::control).sent().size(), 0u) << "nothing answered";
    EXPECT_FALSE(host.wrapper->isEncrypted());

    host.rawClient(Channel::control).send(packet(Channel::control, ControlType::clientHello, 40));
    host.rawClientFlow(Channel::video).send(packet(Channel::video, 0x13, 31));
    host.pair.client->close();
    EXPECT_EQ(next(host.wrapper->control().incoming()), std::nullopt) << "the stream ends without delivering";
    EXPECT_EQ(next(host.wrapper->video().incoming()), std::nullopt);
  }
}

TEST(EncryptedTransportHost, BeforeTheKeyNothingUnsealedReachesTheSession) {
  Host host;
  host.rawClient(Channel::control).send(packet(Channel::control, ControlType::clientHello, 40));
  host.rawClient(Channel::inputReliable).send(packet(Channel::inputReliable, 0x30, 8));
  host.rawClientFlow(Channel::inputUnreliable).send(packet(Channel::inputUnreliable, 0x00));
  SymmetricKey key = host.handshake();
  host.rawClient(Channel::control).send(sealed(packet(Channel::control, ControlType::clientHello, 40, 1), key));
  auto first = next(host.wrapper->control().incoming());
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, packet(Channel::control, ControlType::clientHello, 40, 1)) << "only the sealed hello, opened";
}

// The client seals from the moment it has the ack, and the host judges each channel on a pump thread
// of its own: a sealed packet judged before the key existed would be dropped, losing reliable data. The
// tap holds the ack at the moment the host hands it over, until the client's first sealed input (sent
// as if the ack had already arrived) has been judged.
TEST(EncryptedTransportHost, TheKeyIsInPlaceBeforeTheAckLeaves) {
  Host host;
  auto client = E2EClientHandshake::start(host.hostKey());
  const Bytes input = packet(Channel::inputReliable, 0x30, 8);
  std::optional<Bytes> judged;
  auto& ackTap = host.pair.host->memoryReliable(Channel::control).sent();
  ackTap.setOnAdd([&](ByteView ack) {
    auto result = client->judgeAck(ack, [](auto&&...) { return true; }, {});
    if (result.verdict != E2EClientHandshake::Verdict::keyed) return;
    host.pair.host->memoryReliable(Channel::inputReliable).inject(sealed(input, *result.key));
    const auto& clock = tavlo::SteadyClock::shared();
    judged = host.wrapper->inputReliable().incoming().receiveUntil(clock, clock.nowUs() + 2'000'000);
  });
  host.rawClient(Channel::control).send(client->helloPacket());
  ASSERT_TRUE(next(host.rawClient(Channel::control).incoming())) << "the ack, let go by the tap";
  ackTap.setOnAdd({});
  EXPECT_EQ(judged, input) << "opened and delivered, not dropped for want of a key";
}

// Whoever can write into the byte stream (a relay on the way) must not inject keys, text or a
// password once the session is keyed.
TEST(EncryptedTransportHost, AfterTheKeyAnUnsealedReliablePacketIsDropped) {
  Host host;
  SymmetricKey key = host.handshake();
  for (Channel channel : {Channel::control, Channel::inputReliable}) {
    auto& raw = host.rawClient(channel);
    raw.send(packet(channel, 0x31, 12, 1));  // injected in plaintext
    raw.send(sealed(packet(channel, 0x31, 12, 2), key));
    auto delivered = next(channel == Channel::control ? host.wrapper->control().incoming()
                                                      : host.wrapper->inputReliable().incoming());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(e2etest::headerOf(*delivered).seq, 2u) << "the plaintext packet was dropped";
  }
}

TEST(EncryptedTransportHost, AfterTheKeyOnlyABareHeaderPassesUnsealedAndNeverAsProofOfLife) {
  Host host;
  SymmetricKey key = host.handshake();
  Bytes bare = packet(Channel::audio, 0x00);
  auto& audio = host.rawClientFlow(Channel::audio);
  audio.send(packet(Channel::audio, 0x00, 1));  // 17 bytes: dropped
  audio.send(packet(Channel::audio, 0x21, 0));  // a header of another type: dropped
  audio.send(bare);                             // delivered
  audio.send(sealed(packet(Channel::audio, 0x21, 100), key));
  EXPECT_EQ(next(host.wrapper->audio().incoming()), bare);
  EXPECT_EQ(next(host.wrapper->audio().incoming()), packet(Channel::audio, 0x21, 100));

  // On the input flow a bare header is a keepalive: only a sealed one counts.
  auto& input = host.rawClientFlow(Channel::inputUnreliable);
  input.send(packet(Channel::inputUnreliable, 0x00, 0, 1));
  input.send(sealed(packet(Channel::inputUnreliable, 0x00, 0, 2), key));
  auto delivered = next(host.wrapper->inputUnreliable().incoming());
  ASSERT_TRUE(delivered);
  EXPECT_EQ(e2etest::headerOf(*delivered).seq, 2u);
}

TEST(EncryptedTransportHost, SealedReliablePacketsReachTheChannelTheirHeaderNames) {
  Host host;
  SymmetricKey key = host.handshake();
  host.rawClient(Channel::control).send(sealed(packet(Channel::inputReliable, 0x30, 8), key));
  host.rawClient(Channel::inputReliable).send(sealed(packet(Channel::control, ControlType::ping, 8), key));
  EXPECT_EQ(next(host.wrapper->inputReliable().incoming()), packet(Channel::inputReliable, 0x30, 8));
  EXPECT_EQ(next(host.wrapper->control().incoming()), packet(Channel::control, ControlType::ping, 8));
}

// Anyone on the path can copy a sealed packet and send it again: a relay replaying keystrokes into the
// byte stream, or a copy of a datagram sent from another source to move the flow there. Each packet is
// taken once, whichever channel or source the copy comes on, and never proves a new source; a packet
// the host sealed itself, reflected back at it, is never taken at all. Each row sends `copy` and then a
// fresh marker on the same way in: what the session reads next must be the marker.
TEST(EncryptedTransportHost, ASealedPacketIsTakenOnceAndNeverFromItsOwnSender) {
  enum class Way { reliable, otherReliable, sameSource, newSource };
  struct Row {
    Channel channel;
    bool reflected;  // the copy is one the host sent, not one the client sent
    Way way;
    const char* why;
  } rows[] = {
      {Channel::inputReliable, false, Way::reliable, "a relay types a captured key again"},
      {Channel::inputReliable, false, Way::otherReliable, "...or puts it on the control stream, where envelopes go"},
      {Channel::control, true, Way::otherReliable, "the host's own control packet sent back at it"},
      {Channel::inputUnreliable, false, Way::sameSource, "a duplicated pointer move"},
      {Channel::video, false, Way::newSource, "a captured feedback datagram sent from another port"},
      {Channel::video, true, Way::newSource, "a video chunk of the host's own reflected from another port"},
      {Channel::audio, true, Way::sameSource, "the host's own audio reflected from the client's address"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Host host;
    SymmetricKey key = host.handshake();
    const bool reliable = row.way == Way::reliable || row.way == Way::otherReliable;
    auto& session = [&]() -> PacketStream& {
      switch (row.channel) {
        case Channel::control: return host.wrapper->control().incoming();
        case Channel::inputReliable: return host.wrapper->inputReliable().incoming();
        case Channel::video: return host.wrapper->video().incoming();
        case Channel::audio: return host.wrapper->audio().incoming();
        case Channel::inputUnreliable: return host.wrapper->inputUnreliable().incoming();
      }
      throw std::logic_error("channel");
    }();
    const Bytes original = packet(row.channel, 0x31, 12, 1);
    Bytes copy;
    if (row.reflected) {
      if (reliable) {
        (row.channel == Channel::control ? host.wrapper->control() : host.wrapper->inputReliable()).send(original);
        copy = host.pair.host->memoryReliable(row.channel).sent().items().back();
      } else {
        (row.channel == Channel::video ? host.wrapper->video() : host.wrapper->audio()).send(original);
        copy = host.pair.host->memoryFlow(row.channel).sent().items().back();
      }
    } else {
      copy = sealed(original, key);
      if (reliable) {
        host.rawClient(row.channel).send(copy);
      } else {
        host.rawClientFlow(row.channel).send(copy);
      }
      ASSERT_EQ(next(session), original) << "the first time it is taken";
    }
    const Bytes marker = sealed(packet(row.channel, 0x31, 12, 2), key);
    auto& innerFlow = host.pair.host->memoryFlow(reliable ? Channel::video : row.channel);  // datagram rows only
    switch (row.way) {
      case Way::reliable:
        host.rawClient(row.channel).send(copy);
        host.rawClient(row.channel).send(marker);
        break;
      case Way::otherReliable: {
        Channel other = row.channel == Channel::control ? Channel::inputReliable : Channel::control;
        host.pair.host->memoryReliable(other).inject(copy);
        host.pair.host->memoryReliable(other).inject(marker);
        break;
      }
      case Way::sameSource:
        innerFlow.receive(0, copy);
        innerFlow.receive(0, marker);
        break;
      case Way::newSource:
        innerFlow.receive(7, copy);
        innerFlow.receive(7, marker);
        break;
    }
    auto delivered = next(session);
    ASSERT_TRUE(delivered);
    EXPECT_EQ(e2etest::headerOf(*delivered).seq, 2u) << "the copy was not taken";
    if (row.way == Way::newSource) {
      EXPECT_EQ(innerFlow.adoptions(), 1) << "the marker, not the copy, moved the flow";
    }
  }
}

// The reliable channels remember every frame of the session. When that memory is full the session ends
// (the client reconnects under a new key) rather than forget one: every frame taken stays refused to
// the end, and the frame that found no room is not delivered either.
TEST(EncryptedTransportHost, TheSessionEndsRatherThanForgetAReliableFrame) {
  Host host;
  SymmetricKey key = host.handshake();
  auto& input = host.wrapper->inputReliable().incoming();
  auto& control = host.wrapper->control().incoming();
  const uint32_t frames = ReplayWindow::reliableCapacity;
  // Both reliable channels fill one memory: envelopes of either may come in by either. Read as they come.
  std::atomic<uint32_t> inputTaken{0}, controlTaken{0};
  std::thread inputReader([&] { while (input.receive()) ++inputTaken; });
  std::thread controlReader([&] { while (control.receive()) ++controlTaken; });
  E2EEnvelope::Nonce nonce{};
  auto sealNext = [&](Channel channel, uint32_t seq) {
    std::memcpy(nonce.data(), &seq, sizeof seq);  // distinct, as a client's random ones are
    return *E2EEnvelope::seal(packet(channel, 0x33, 4, seq), key, nonce);
  };
  const Bytes first = sealNext(Channel::inputReliable, 0);
  for (uint32_t seq = 0; seq < frames; ++seq) {
    Channel channel = seq % 2 ? Channel::control : Channel::inputReliable;
    host.pair.host->memoryReliable(channel).inject(seq == 0 ? first : sealNext(channel, seq));
  }
  host.pair.host->memoryReliable(Channel::inputReliable).inject(first);
  host.pair.host->memoryReliable(Channel::control).inject(first);
  host.pair.host->memoryReliable(Channel::inputReliable).inject(sealNext(Channel::inputReliable, frames));
  inputReader.join();  // the streams end: the session was closed
  controlReader.join();
  EXPECT_EQ(inputTaken + controlTaken, frames) << "every frame there was room for, and no copy";
  ASSERT_EQ(host.log.lines().size(), 2u);
  EXPECT_EQ(host.log.lines()[1], "🔐 sesja zamknięta: klient wysłał pod jednym kluczem więcej ramek niezawodnych, niż "
                                 "host pamięta (" + std::to_string(frames) + ")");
}

// Datagrams may arrive late, out of order or not at all; every one that is new is taken.
TEST(EncryptedTransportHost, ReorderedAndLateDatagramsAreAllTaken) {
  Host host;
  SymmetricKey key = host.handshake();
  std::vector<Bytes> envelopes;
  for (uint32_t seq = 0; seq < 6; ++seq) envelopes.push_back(sealed(packet(Channel::video, 0x13, 8, seq), key));
  for (size_t index : {3, 0, 5, 1, 2}) host.rawClientFlow(Channel::video).send(envelopes[index]);  // 4 was lost
  for (uint32_t seq : {3u, 0u, 5u, 1u, 2u}) {
    auto delivered = next(host.wrapper->video().incoming());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(e2etest::headerOf(*delivered).seq, seq);
  }
}

TEST(EncryptedTransportHost, ADatagramFlowWhoseConsumerStallsKeepsOnlyTheNewestDatagrams) {
  Host host(false);  // without a key, unsealed datagrams pass
  const uint32_t sent = EncryptedTransport::datagramQueueLimit + 10;
  for (uint32_t seq = 0; seq < sent; ++seq) host.rawClientFlow(Channel::audio).send(packet(Channel::audio, 0x21, 4, seq));
  host.pair.host->memoryFlow(Channel::audio).close();  // the pump drains what came, then ends the stream
  PacketStream& stalled = host.wrapper->audio().incoming();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!stalled.isClosed() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  std::vector<uint32_t> delivered;
  while (auto datagram = stalled.tryReceive()) delivered.push_back(e2etest::headerOf(*datagram).seq);
  ASSERT_EQ(delivered.size(), EncryptedTransport::datagramQueueLimit);
  EXPECT_EQ(delivered.front(), 10u) << "the oldest ten gave way";
  EXPECT_EQ(delivered.back(), sent - 1);
}

TEST(EncryptedTransportHost, DatagramSizesLeaveRoomForTheEnvelopeAboveAFloor) {
  struct Row {
    int inner, expected;
    const char* why;
  } rows[] = {{1350, 1318, "the usual flow"}, {200, 256, "a tiny flow keeps the 256-byte floor"},
              {288, 256, "exactly at the floor"}};
  for (const auto& row : rows) {
    Host host(true, row.inner);
    EXPECT_EQ(host.wrapper->video().maxDatagramSize(), row.expected) << row.why;
    EXPECT_EQ(host.wrapper->inputUnreliable().maxDatagramSize(), row.expected) << row.why;
  }
}

TEST(EncryptedTransportHost, ASealedReHelloReplacesTheKeyAndOnlyTheNewKeyAdopts) {
  Host host;
  SymmetricKey oldKey = host.handshake();
  auto& innerInput = host.pair.host->memoryFlow(Channel::inputUnreliable);
  ASSERT_TRUE(innerInput.hasVerifier());

  auto again = E2EClientHandshake::start(host.hostKey());
  host.rawClient(Channel::control).send(sealed(again->helloPacket(), oldKey));
  ASSERT_TRUE(host.log.waitFor(2));
  auto ack = host.pair.host->memoryReliable(Channel::control).sent().items().back();
  EXPECT_EQ(ack.size(), 160u) << "the new ack also leaves unsealed";
  auto result = again->judgeAck(ack, [](auto&&...) { return true; }, {});
  ASSERT_EQ(result.verdict, E2EClientHandshake::Verdict::keyed);
  SymmetricKey newKey = *result.key;
  EXPECT_FALSE(newKey == oldKey);

  host.rawClient(Channel::control).send(sealed(packet(Channel::control, ControlType::ping, 4, 1), oldKey));
  host.rawClient(Channel::control).send(sealed(packet(Channel::control, ControlType::ping, 4, 2), newKey));
  EXPECT_EQ(e2etest::headerOf(*next(host.wrapper->control().incoming())).seq, 2u) << "the old key no longer opens";

  // A new client source is adopted only on a datagram sealed with the newest key.
  auto& clientInput = host.rawClientFlow(Channel::inputUnreliable);
  clientInput.moveToNewSource();
  clientInput.send(sealed(packet(Channel::inputUnreliable, 0x00, 0, 1), oldKey));
  clientInput.send(packet(Channel::inputUnreliable, 0x00, 0, 2));
  clientInput.send(sealed(packet(Channel::inputUnreliable, 0x00, 0, 3), newKey));
  auto adopted = next(host.wrapper->inputUnreliable().incoming());
  ASSERT_TRUE(adopted);
  EXPECT_EQ(e2etest::headerOf(*adopted).seq, 3u);
  EXPECT_EQ(innerInput.adoptions(), 1);
}

// The gate MAC is keyed with a public key: a hello in plaintext after the key proves nothing, and must
// not replace the key, whether or not the gate is required.
TEST(EncryptedTransportHost, AnUnsealedReHelloAfterTheKeyIsDropped) {
  for (bool requireSecure : {true, false}) {
    Host host(requireSecure);
    SymmetricKey key = host.handshake();
    host.rawClient(Channel::control).send(E2EClientHandshake::start(host.hostKey())->helloPacket());
    host.rawClient(Channel::control).send(sealed(packet(Channel::control, ControlType::ping, 4, 9), key));
    auto delivered = next(host.wrapper->control().incoming());
    ASSERT_TRUE(delivered);
    EXPECT_EQ(e2etest::headerOf(*delivered).seq, 9u) << "the key still opens: no re-key happened";
    EXPECT_EQ(host.pair.host->memoryReliable(Channel::control).sent().size(), 1u) << "one ack only";
    EXPECT_EQ(host.log.lines().size(), 1u);
  }
}

TEST(EncryptedTransportHost, APacketThatFailsToSealIsDroppedNeverSentInPlaintext) {
  auto pair = MemoryTransportPair::make();
  LogLines log;
  auto failing = [](ByteView, const SymmetricKey&, const E2EEnvelope::Nonce&) { return std::optional<Bytes>(); };
  auto wrapper = EncryptedTransport::create(pair.host, log.sink(), true, {}, failing);
  wrapper->installKey(SymmetricKey(tavlo::crypto::randomArray<32>()));
  wrapper->control().send(packet(Channel::control, ControlType::ping, 4));
  wrapper->video().send(packet(Channel::video, 0x10, 100));
  Bytes a = packet(Channel::video, 0x12, 10), b = packet(Channel::video, 0x12, 11);
  ByteView batch[] = {a, b};
  wrapper->video().sendBatch(batch);
  EXPECT_EQ(pair.host->memoryReliable(Channel::control).sent().size(), 0u);
  EXPECT_EQ(pair.host->memoryFlow(Channel::video).sent().size(), 0u);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"🔐 ❌ szyfrowanie pakietu nie powiodło się — pakiet odrzucony"})
      << "logged once per session";
}

TEST(EncryptedTransportHost, ABatchLeavesSealedInOrderAsOneBatch) {
  Host host;
  SymmetricKey key = host.handshake();
  std::vector<Bytes> packets;
  for (uint32_t i = 0; i < 5; ++i) packets.push_back(packet(Channel::video, 0x10, 50, i));
  std::vector<ByteView> views(packets.begin(), packets.end());
  host.wrapper->video().sendBatch(views);
  EXPECT_EQ(host.pair.host->memoryFlow(Channel::video).batches(), 1);
  for (uint32_t i = 0; i < 5; ++i) {
    auto received = next(host.rawClientFlow(Channel::video).incoming());
    ASSERT_TRUE(received);
    EXPECT_EQ(E2EEnvelope::open(*received, key), packets[i]);
  }
}

TEST(EncryptedTransportHost, CloseClosesTheInnerTransportAndAFlowCloseDoesNothing) {
  Host host;
  host.wrapper->video().close();
  EXPECT_EQ(host.pair.host->memoryFlow(Channel::video).closeCount(), 0);
  EXPECT_EQ(host.pair.host->closeCount(), 0);
  EXPECT_EQ(host.wrapper->remoteDescription(), host.pair.host->remoteDescription());
  host.wrapper->close();
  EXPECT_EQ(host.pair.host->closeCount(), 1);
  EXPECT_EQ(next(host.wrapper->control().incoming()), std::nullopt);
  EXPECT_EQ(next(host.wrapper->inputUnreliable().incoming()), std::nullopt);
}

}  // namespace
}  // namespace vela
