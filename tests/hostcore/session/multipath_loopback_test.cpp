// Make-before-break over the real direct transport on the loopback: a client's session on one
// connection takes a second connection of the same client as a second path and promotes it; the video
// goes on over the new path with no gap in its sequence numbers and the old path's end tears nothing down.
#include <gtest/gtest.h>

#include "hostcore/session/host_sink.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::ConnectedPair;
using testkit::LoopbackHost;
using testkit::SessionClient;
using testkit::SessionRig;

constexpr uint32_t firstId = 5;
constexpr uint32_t pathId = 77;

// One packet as the send path puts it on the wire: the primary sequence, session id, the list of second
// paths and the primary transport taken in one hold; the datagram on the primary path, then the copies.
void sendChunkAsTheSendPath(SessionRig& rig, uint32_t frameId) {
  auto chunk = std::make_shared<VideoChunk>();
  chunk->frameId = frameId;
  chunk->chunkCount = 1;
  chunk->payload = Bytes(1200, static_cast<uint8_t>(frameId));
  uint32_t sessionId = 0, seq = 0;
  HostSinks sinks;
  std::shared_ptr<SessionTransport> primary;
  rig.probe([&](SessionState& s) {
    sessionId = s.identity.sessionId;
    seq = s.identity.videoSeq++;
    sinks = s.path.secondarySinks;
    primary = s.path.effectiveTransport();
  });
  primary->video().send(encodePacket(*chunk, sessionId, seq));
  sendVideoToSinks(sinks, chunk);
}

// The headers of the next `count` video datagrams the client receives.
std::vector<PacketHeader> receiveVideo(SessionTransport& client, int count) {
  std::vector<PacketHeader> headers;
  for (int i = 0; i < count; ++i) {
    auto datagram = testkit::receiveWithin(client.video().incoming());
    if (!datagram) break;
    headers.push_back(RawPacket::decode(*datagram).header);
  }
  return headers;
}

TEST(MultipathLoopback, VideoContinuesOnThePromotedPathWithoutAGapAndTheOldPathsEndTearsNothingDown) {
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ConnectedPair first = testkit::connectPair(host);
  ASSERT_TRUE(first.client && first.host);

  SessionRig rig;
  bool disconnected = false;
  SessionConfig config = rig.config();
  config.transport = first.host;
  rig.make(config);
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onDisconnect = [&] { disconnected = true; }; });
  rig.session->start();
  SessionClient firstClient(first.client);
  ClientHello hello;
  hello.deviceName = "Studio";
  firstClient.send(hello);
  ASSERT_TRUE(firstClient.roundTrip());
  rig.probe([](SessionState& s) { s.identity.sessionId = firstId; });

  // The client opens a second connection and asks to attach it; the owner hands it to the running session.
  ConnectedPair second = testkit::connectPair(host);
  ASSERT_TRUE(second.client && second.host);
  SessionConfig donorConfig = rig.config();
  donorConfig.transport = second.host;
  auto donor = HostSession::create(std::move(donorConfig), rig.deps);
  donor->updateCallbacks([running = rig.session](SessionCallbacks& c) {
    c.onMbbAttach = [running](const MbbAttach& attach, const std::shared_ptr<HostSession>& via) {
      running->attachSecondarySink(via->donateTransportForMbb(), attach.sessionId, attach.viaVPN);
    };
  });
  donor->start();
  donor.reset();
  SessionClient secondClient(second.client);
  secondClient.send(MbbAttach{pathId, 1280, 720, 200, false});
  ASSERT_TRUE(rig.log.waitFor("🔀 wtórny sink dołączony (sessionId 77)"));

  constexpr int before = 8, after = 8;
  for (uint32_t frame = 0; frame < before; ++frame) sendChunkAsTheSendPath(rig, frame);
  auto onFirst = receiveVideo(*first.client, before);
  ASSERT_EQ(onFirst.size(), size_t{before});
  EXPECT_EQ(onFirst.back().seq, uint32_t{before - 1});
  EXPECT_EQ(onFirst.back().sessionId, firstId);

  secondClient.send(MbbPromote{}, pathId);
  ASSERT_TRUE(rig.log.waitFor("🔀 PROMOCJA: tor LAN jest teraz główny (sessionId 77)"));
  for (uint32_t frame = before; frame < before + after; ++frame) sendChunkAsTheSendPath(rig, frame);

  auto onSecond = receiveVideo(*second.client, before + after);
  ASSERT_EQ(onSecond.size(), size_t{before + after});
  for (uint32_t i = 0; i < before + after; ++i) {
    EXPECT_EQ(onSecond[i].seq, i) << "copies and then primary datagrams, one sequence without a gap";
    EXPECT_EQ(onSecond[i].sessionId, pathId);
  }

  // The host closed the old path; the client lets it go too. The session lives on over the new one.
  EXPECT_EQ(testkit::receiveWithin(first.client->control().incoming()), std::nullopt);
  first.client->close();
  ASSERT_TRUE(secondClient.roundTrip());
  EXPECT_FALSE(disconnected);
  EXPECT_EQ(rig.session->transport(), second.host);
  second.client->close();
  EXPECT_TRUE(testkit::eventually([&] { return disconnected; })) << "the new path's end is the session's end";
}

}  // namespace
}  // namespace vela
