#include "host/reachability/probe_responder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "protocol/session_messages.hpp"
#include "protocol/wire_payload.hpp"
#include "tests/transport/raw_sockets.hpp"

namespace tavlo {
namespace {

using vela::testkit::RawUdp;

const Uuid hostId = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

uint16_t freeUdpPort() {
  RawUdp probe("0.0.0.0");
  return probe.port();
}

struct Responder {
  Responder() {
    responder.start(port);
    client.connectTo("127.0.0.1", port);
  }
  std::vector<std::string> lines() {
    std::lock_guard guard(mutex);
    return logged;
  }
  Bytes probe(const Uuid& id, uint32_t nonce) { return vela::encodePacket(vela::Probe{id, nonce}, 0, 0); }

  std::mutex mutex;
  std::vector<std::string> logged;
  std::atomic<int> refuseNext{0};  // peers refused before the path counts as allowed
  std::vector<std::string> peers;
  uint16_t port = freeUdpPort();
  ProbeResponder responder{hostId,
                           [this](const std::string& peer) {
                             std::lock_guard guard(mutex);
                             peers.push_back(peer);
                             return refuseNext.fetch_sub(1) <= 0;
                           },
                           [this](const std::string& line) {
                             std::lock_guard guard(mutex);
                             logged.push_back(line);
                           }};
  RawUdp client{"127.0.0.1"};
};

TEST(ProbeResponder, AnswersAProbeForThisHostWithOneAcknowledgementEchoingTheNonce) {
  Responder r;
  EXPECT_EQ(r.lines(), std::vector<std::string>{"🛰 probe responder na UDP " + std::to_string(r.port) +
                                                " (żywotność pre-sesyjna)"});
  Bytes probe = r.probe(hostId, 0xA1B2C3D4);
  ASSERT_EQ(probe.size(), 36u);
  r.client.sendTo("127.0.0.1", r.port, probe);
  auto ack = r.client.receive();
  ASSERT_TRUE(ack);
  ASSERT_EQ(ack->size(), 36u);
  auto packet = vela::RawPacket::decode(*ack);
  EXPECT_EQ(packet.header.sessionId, 0u);
  EXPECT_EQ(packet.header.seq, 0u);
  auto decoded = packet.decodePayload<vela::ProbeAck>();
  EXPECT_EQ(decoded.hostID, hostId);
  EXPECT_EQ(decoded.nonce, 0xA1B2C3D4u);
  // A second probe's answer is the next datagram: the first was answered exactly once.
  r.client.sendTo("127.0.0.1", r.port, r.probe(hostId, 2));
  auto next = r.client.receive();
  ASSERT_TRUE(next);
  EXPECT_EQ(vela::RawPacket::decode(*next).decodePayload<vela::ProbeAck>().nonce, 2u);
  std::lock_guard guard(r.mutex);
  EXPECT_EQ(r.peers.at(0), "127.0.0.1");
}

TEST(ProbeResponder, IgnoresWhatIsNotAProbeForThisHostAndKeepsAnswering) {
  Responder r;
  Bytes badMagic = r.probe(hostId, 3);
  badMagic[0] ^= 0xFF;
  const std::vector<Bytes> ignored = {
      r.probe(*Uuid::parse("FFFFFFFF-4455-6677-8899-AABBCCDDEEFF"), 1),  // another host's ID
      {0x54},                                                           // one byte
      vela::encodePacket(vela::Ping{7}, 0, 0),                          // a control message, not a probe
      badMagic,
      vela::encodePacket(vela::ProbeAck{hostId, 4}, 0, 0),  // an acknowledgement is not answered
  };
  for (const auto& datagram : ignored) r.client.sendTo("127.0.0.1", r.port, datagram);
  r.client.sendTo("127.0.0.1", r.port, r.probe(hostId, 42));
  auto answer = r.client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(vela::RawPacket::decode(*answer).decodePayload<vela::ProbeAck>().nonce, 42u);
}

TEST(ProbeResponder, StaysSilentForAPeerWhosePathIsSwitchedOff) {
  Responder r;
  r.refuseNext = 2;
  r.client.sendTo("127.0.0.1", r.port, r.probe(hostId, 1));
  r.client.sendTo("127.0.0.1", r.port, r.probe(hostId, 2));
  // The path is allowed from the third datagram on: the first answer is for that one.
  r.client.sendTo("127.0.0.1", r.port, r.probe(hostId, 3));
  auto answer = r.client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(vela::RawPacket::decode(*answer).decodePayload<vela::ProbeAck>().nonce, 3u);
}

TEST(ProbeResponder, LogsABusyPortWithItsErrnoAndStaysInert) {
  RawUdp holder("0.0.0.0");
  std::vector<std::string> lines;
  ProbeResponder responder(hostId, [](const std::string&) { return true; },
                           [&](const std::string& line) { lines.push_back(line); });
  responder.start(holder.port());
  EXPECT_EQ(lines, std::vector<std::string>{"🛰 probe: bind " + std::to_string(holder.port()) + " fail (errno 98)"});
  EXPECT_FALSE(responder.isRunning());
  responder.stop();
  responder.stop();
}

TEST(ProbeResponder, StopClosesThePortAndIsHarmlessTwice) {
  Responder r;
  r.responder.stop();
  r.responder.stop();
  EXPECT_FALSE(r.responder.isRunning());
  RawUdp rebound("0.0.0.0", r.port);  // the port is free again
  EXPECT_EQ(rebound.port(), r.port);
}

}  // namespace
}  // namespace tavlo
