// Make-before-break over the real direct transport on the loopback: a client's session on one
// connection takes a second connection of the same client, handed over by the session it reached, as a
// second path and promotes it; the configuration and the video reach the new path, the video goes on
// there with no gap in its sequence numbers, and the old path's end tears nothing down.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::ConnectedPair;
using testkit::LoopbackHost;
using testkit::SessionClient;
using testkit::SessionRig;

constexpr uint32_t pathId = 77;

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
  rig.captureBackend->setDisplays({{1000, 640, 480}});
  rig.clock().setAdvanceOnWait(true);  // pacing sleeps on the session clock
  std::atomic<bool> disconnected{false};
  SessionConfig config = rig.config();
  config.transport = first.host;
  rig.make(config);
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onDisconnect = [&] { disconnected = true; }; });
  rig.session->start();
  SessionClient firstClient(first.client);
  ClientHello hello;
  hello.deviceName = "Studio";
  hello.windowPxW = 640;
  hello.windowPxH = 480;
  firstClient.send(hello);
  auto hostHello = firstClient.next<HostHello>();
  ASSERT_TRUE(hostHello && hostHello->accepted);
  auto framesSent = [&] { return rig.probe([](SessionState& s) { return s.send.framesSent; }); };

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
  std::weak_ptr<HostSession> donorGone = donor;
  donor.reset();  // the owner keeps no session the attach arrived on
  SessionClient secondClient(second.client);
  secondClient.send(MbbAttach{pathId, 1280, 720, 200, false});
  ASSERT_TRUE(rig.log.waitFor("🔀 wtórny sink dołączony (sessionId 77)"));
  EXPECT_TRUE(testkit::eventually([&] { return donorGone.expired(); })) << "it dies with its last reference";

  // A keyframe (the attach forces one) goes out on both paths, each with its own numbers.
  // The hello's answer can leave before capture has started: a frame emitted earlier reaches nobody.
  ASSERT_TRUE(testkit::eventually([&] { return rig.captureBackend->emitFrames(1) == 1u; }));
  ASSERT_TRUE(testkit::eventually([&] { return framesSent() == 1; }));
  // Attached before any configuration, the path gets the first one with its own session id.
  auto videoConfig = secondClient.nextPacket();
  ASSERT_TRUE(videoConfig);
  EXPECT_EQ(RawPacket::decode(*videoConfig).header.sessionId, pathId);
  EXPECT_EQ(RawPacket::decode(*videoConfig).decodePayload<VideoConfig>().codedPxW, 640);
  auto videoSeq = [&] { return rig.probe([](SessionState& s) { return s.identity.videoSeq; }); };
  const uint32_t firstFrame = videoSeq();
  auto onFirst = receiveVideo(*first.client, int(firstFrame));
  ASSERT_EQ(onFirst.size(), size_t{firstFrame});
  EXPECT_EQ(onFirst.back().seq, firstFrame - 1);
  EXPECT_EQ(onFirst.back().sessionId, hostHello->sessionId);

  secondClient.send(MbbPromote{}, pathId);
  ASSERT_TRUE(rig.log.waitFor("🔀 PROMOCJA: tor LAN jest teraz główny (sessionId 77)"));
  ASSERT_EQ(rig.captureBackend->emitFrames(1), 1u);  // the promotion forces another keyframe
  ASSERT_TRUE(testkit::eventually([&] { return framesSent() == 2; }));

  const uint32_t total = videoSeq();  // the path's numbering continued from its copies of the first frame
  ASSERT_GT(total, firstFrame);
  auto onSecond = receiveVideo(*second.client, int(total));
  ASSERT_EQ(onSecond.size(), size_t{total});
  for (uint32_t i = 0; i < onSecond.size(); ++i) {
    EXPECT_EQ(onSecond[i].seq, i) << "copies and then primary datagrams, one sequence without a gap";
    EXPECT_EQ(onSecond[i].sessionId, pathId);
  }

  // The host closed the old path; the client lets it go too. The session lives on over the new one.
  PacketStream& oldControl = first.client->control().incoming();
  for (int i = 0; i < 100 && testkit::receiveWithin(oldControl); ++i) {
  }  // what the host sent on it before the promotion
  EXPECT_TRUE(oldControl.isFinished()) << "the host closed the old path";
  first.client->close();
  ASSERT_TRUE(secondClient.roundTrip());
  EXPECT_FALSE(disconnected);
  EXPECT_EQ(rig.session->transport(), second.host);
  second.client->close();
  EXPECT_TRUE(testkit::eventually([&] { return disconnected.load(); })) << "the new path's end is the session's end";
}

}  // namespace
}  // namespace vela
