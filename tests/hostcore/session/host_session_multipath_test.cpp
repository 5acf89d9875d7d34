// Second paths of a session over in-memory transports: attachment, each path's control loop, promotion,
// the device state replayed on the promoted path, force-path, and paths that reach a session that is
// going. The stream itself over two paths is in multipath_loopback_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "hostcore/session/host_sink.hpp"
#include "hostcore/session/idr_request_limiter.hpp"
#include "hostcore/session/session_threads.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::MemorySessionTransport;
using testkit::SessionClient;
using testkit::SessionRig;

constexpr uint32_t pathId = 77;  // the session id the client uses on the second path

// A second connection of the client: the host side goes to the session, the client side talks on it.
struct SecondPath {
  explicit SecondPath(std::string description = "192.0.2.30:52000") {
    host = std::make_shared<MemorySessionTransport>(MemorySessionTransport::Options{1400, description, false});
    clientSide = std::make_shared<MemorySessionTransport>(MemorySessionTransport::Options{1400, "192.0.2.1:47700", true});
    MemorySessionTransport::connect(host, clientSide);
    client = std::make_unique<SessionClient>(clientSide);
  }
  ~SecondPath() { clientSide->close(); }
  // The video datagrams the host sent on this path.
  std::vector<PacketHeader> videoHeaders() const {
    std::vector<PacketHeader> headers;
    for (const auto& datagram : host->memoryFlow(Channel::video).sent().items())
      headers.push_back(RawPacket::decode(datagram).header);
    return headers;
  }

  std::shared_ptr<MemorySessionTransport> host;
  std::shared_ptr<MemorySessionTransport> clientSide;
  std::unique_ptr<SessionClient> client;
};

HostSinks sinksOf(SessionRig& rig) {
  return rig.probe([](SessionState& s) { return s.path.secondarySinks; });
}

SharedVideoChunk chunk(uint32_t frameId) {
  auto c = std::make_shared<VideoChunk>();
  c->frameId = frameId;
  c->chunkCount = 1;
  c->payload = {1, 2, 3};
  return c;
}

// The configuration the send path last sent, as it keeps it.
void storeConfiguration(SessionRig& rig, uint16_t codedW) {
  rig.probe([&](SessionState& s) {
    s.identity.generation = 3;
    s.send.lastHvcc = Bytes{0x40, 0x01};
    s.send.lastCodedPx = {codedW, 720};
    s.send.lastPointsPx = {640, 360};
    s.geometry.targetFps = 60;
  });
}

TEST(HostSessionMultipath, AnAttachReplaysTheConfigurationInForceAndForcesAKeyframe) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  storeConfiguration(rig, 1280);
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  auto packet = path.client->nextPacket();
  ASSERT_TRUE(packet);
  auto raw = RawPacket::decode(*packet);
  EXPECT_EQ(raw.header.sessionId, pathId);
  EXPECT_EQ(raw.header.seq, 0u);
  auto config = raw.decodePayload<VideoConfig>();
  EXPECT_EQ(config, (VideoConfig{3, 1280, 720, 640, 360, VideoCodec::hevc8, 8, 60, Bytes{0x40, 0x01}}));
  rig.probe([](SessionState& s) {
    EXPECT_TRUE(s.keyframes.forceKeyframeNext);
    EXPECT_TRUE(s.keyframes.rescueIdrDupPending);
    ASSERT_EQ(s.path.secondarySinks.size(), 1u);
    EXPECT_TRUE(s.path.secondarySinks[0]->configSent());
  });
  EXPECT_TRUE(rig.log.waitFor("🔀 wtórny sink dołączony (sessionId 77) — fan-out wideo aktywny, wymuszam IDR"));
}

TEST(HostSessionMultipath, ASecondPathsControlLoopAnswersPingsTakesKeyframeRequestsAndEndsOnBye) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  rig.probe([](SessionState& s) { s.keyframes.forceKeyframeNext = false; });

  path.client->sendRaw(Bytes{1, 2, 3});  // no header: skipped
  rig.scheduler().advanceBy(5'000);
  path.client->send(Ping{42}, pathId);
  auto packet = path.client->nextPacket();
  ASSERT_TRUE(packet);
  auto raw = RawPacket::decode(*packet);
  EXPECT_EQ(raw.header.sessionId, pathId);
  auto pong = raw.decodePayload<Pong>();
  EXPECT_EQ(pong.t1, 42u);
  EXPECT_EQ(pong.t2, rig.clock().nowUs());
  EXPECT_EQ(pong.t3, rig.clock().nowUs());
  EXPECT_EQ(pong.udpInputAgeMs, 65535) << "this path's input flow is not watched";
  rig.probe([&](SessionState& s) { EXPECT_EQ(s.identity.lastClientPacketUs, rig.clock().nowUs()); });

  path.client->send(IdrRequest{1, 0, IdrRequest::Reason::loss}, pathId);
  ASSERT_TRUE(path.client->roundTrip());
  rig.probe([](SessionState& s) { EXPECT_TRUE(s.keyframes.forceKeyframeNext); });

  path.client->send(Bye{}, pathId);
  EXPECT_TRUE(rig.log.waitFor("🔀 wtórny sink odłączony (sessionId 77)"));
  EXPECT_TRUE(testkit::eventually([&] { return path.host->isClosed(); }));
  EXPECT_TRUE(sinksOf(rig).empty());
  EXPECT_FALSE(rig.pair.host->isClosed()) << "the primary path goes on";
}

TEST(HostSessionMultipath, KeyframeRequestsOnASecondPathShareThePrimaryPathsLimiter) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  rig.probe([](SessionState& s) { s.keyframes.forceKeyframeNext = false; });

  // One forced on the primary path, then a burst on the second one within the same second.
  rig.client.send(IdrRequest{1, 0, IdrRequest::Reason::loss});
  ASSERT_TRUE(rig.client.roundTrip());
  rig.probe([](SessionState& s) {
    EXPECT_TRUE(s.keyframes.forceKeyframeNext);
    s.keyframes.forceKeyframeNext = false;
  });
  for (int i = 0; i < 5; ++i) path.client->send(IdrRequest{1, 0, IdrRequest::Reason::loss}, pathId);
  ASSERT_TRUE(path.client->roundTrip());
  rig.probe([](SessionState& s) {
    EXPECT_FALSE(s.keyframes.forceKeyframeNext) << "requests on the second path are limited too";
    EXPECT_EQ(s.keyframes.idrSkipped, 5);
  });
  EXPECT_TRUE(rig.log.waitFor("IDR_REQUEST zbyt częsty — limituję (pominięto 1)"));

  // Once the gap has passed, the second path's request forces one again.
  rig.scheduler().advanceBy(IdrRequestLimits::maxGapUs);
  path.client->send(IdrRequest{1, 0, IdrRequest::Reason::loss}, pathId);
  ASSERT_TRUE(path.client->roundTrip());
  rig.probe([](SessionState& s) { EXPECT_TRUE(s.keyframes.forceKeyframeNext); });
}

TEST(HostSessionMultipath, APathWhoseStreamEndsIsDetachedAndTeardownClosesTheRest) {
  SessionRig rig;
  rig.started();
  SecondPath first, second, third;
  rig.session->attachSecondarySink(first.host, 1, false);
  rig.session->attachSecondarySink(second.host, 2, false);
  rig.session->attachSecondarySink(third.host, 3, false);
  first.clientSide->close();
  EXPECT_TRUE(rig.log.waitFor("🔀 wtórny sink odłączony (sessionId 1)"));
  EXPECT_EQ(sinksOf(rig).size(), 2u);
  rig.session->detachAllSecondarySinks();
  EXPECT_TRUE(second.host->isClosed());
  EXPECT_TRUE(third.host->isClosed());
  EXPECT_TRUE(rig.log.waitFor("🔀 wszystkie wtórne sinki odłączone (2)"));
  rig.session->detachAllSecondarySinks();
  EXPECT_EQ(rig.log.count("wszystkie wtórne sinki"), 1u) << "an empty list logs nothing";
}

struct PromotionRow {
  const char* why;
  const char* description;
  bool viaVPN;
  bool lan;
  bool relayed;
  const char* kind;
};

TEST(HostSessionMultipath, APromotionMovesTheSessionToThePathAndItsFacts) {
  const PromotionRow rows[] = {
      {"a LAN path: the link is learnt afresh", "192.168.1.5:47700", false, true, false, "LAN"},
      {"a NAT path keeps what was learnt", "203.0.113.9:4000", false, false, false, "NAT"},
      {"a relayed path", "Relay/abc", false, false, true, "przekaźnik"},
      {"a VPN on a private address paces as WAN", "10.8.0.2:47700", true, false, false, "LAN"},
  };
  for (const PromotionRow& row : rows) {
    SCOPED_TRACE(row.why);
    SessionRig rig;
    std::atomic<bool> disconnected{false};
    rig.make();
    rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onDisconnect = [&] { disconnected = true; }; });
    rig.session->start();
    ASSERT_TRUE(rig.hello());
    rig.probe([](SessionState& s) {
      s.identity.sessionId = 5;
      s.identity.videoSeq = 500;
      s.adaptation.fbLagEwmaUs = 9;
      s.adaptation.recvRateEwma = 9;
      s.adaptation.rxEwmaSlow = 9;
      s.adaptation.wanLink = true;
      s.keyframes.forceKeyframeNext = false;
      s.keyframes.rescueIdrDupPending = false;
    });
    SecondPath path(row.description);
    rig.session->attachSecondarySink(path.host, pathId, row.viaVPN);
    for (uint32_t frame = 0; frame < 3; ++frame) sendVideoToSinks(sinksOf(rig), chunk(frame));
    path.client->send(MbbPromote{}, pathId);
    ASSERT_TRUE(rig.log.waitFor(std::string("🔀 PROMOCJA: tor ") + row.kind + " jest teraz główny (sessionId 77)"));

    EXPECT_EQ(rig.session->transport(), path.host);
    rig.probe([&](SessionState& s) {
      EXPECT_TRUE(s.path.promotedSink);
      EXPECT_TRUE(s.path.secondarySinks.empty());
      EXPECT_EQ(s.identity.sessionId, pathId);
      EXPECT_EQ(s.identity.videoSeq, 3u) << "the path's next sequence: its queued copies keep theirs";
      EXPECT_EQ(s.path.lanSession, row.lan);
      EXPECT_EQ(s.path.relayedSession, row.relayed);
      EXPECT_EQ(s.identity.clientVpn, row.viaVPN);
      EXPECT_TRUE(s.keyframes.forceKeyframeNext);
      EXPECT_TRUE(s.keyframes.rescueIdrDupPending);
      EXPECT_EQ(s.adaptation.recvRateEwma, row.lan ? 0 : 9);
      EXPECT_EQ(s.adaptation.fbLagEwmaUs, row.lan ? 0 : 9);
      EXPECT_EQ(s.adaptation.wanLink, !row.lan);
    });
    EXPECT_EQ(rig.log.count("🔒 promocja tor VPN → pacing WAN + „VPN”"), row.viaVPN ? 1u : 0u);
    EXPECT_TRUE(testkit::eventually([&] { return rig.pair.host->isClosed(); })) << "the old primary is closed";

    // The session's own control loop now reads the new path: its pong reports the session's input age.
    path.client->send(Ping{7}, pathId);
    auto packet = path.client->nextPacket();
    ASSERT_TRUE(packet);
    auto raw = RawPacket::decode(*packet);
    EXPECT_EQ(raw.header.sessionId, pathId);
    EXPECT_EQ(raw.decodePayload<Pong>().udpInputAgeMs, Pong::neverSeen);
    EXPECT_FALSE(disconnected) << "the old path's end tears nothing down";
    EXPECT_FALSE(path.host->isClosed());
  }
}

TEST(HostSessionMultipath, ACopyHandedToAPathAfterItsPromotionIsDroppedSoNoNumberGoesOutTwice) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  sendVideoToSinks(sinksOf(rig), chunk(0));
  HostSinks stale = sinksOf(rig);  // the list a send racing with the promotion took
  path.client->send(MbbPromote{}, pathId);
  ASSERT_TRUE(rig.log.waitFor("🔀 PROMOCJA"));
  sendVideoToSinks(stale, chunk(1));
  HostSessionProbe::sendChunk(*rig.session, chunk(2));
  stale[0]->snapshotVideoSeq();  // what was queued has run
  auto headers = path.videoHeaders();
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].seq, 0u);
  EXPECT_EQ(headers[1].seq, 1u) << "the session's first datagram on the path carries the path's next number";
  EXPECT_EQ(headers[1].sessionId, pathId);
}

TEST(HostSessionMultipath, ASecondPromotionOfTheSamePathAndOneOfAPathNotAttachedDoNothing) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path, other;
  rig.session->attachSecondarySink(path.host, pathId, false);
  auto sink = sinksOf(rig).at(0);
  HostSessionProbe::promote(*rig.session, sink);
  ASSERT_TRUE(rig.log.waitFor("🔀 PROMOCJA"));
  rig.probe([](SessionState& s) { s.keyframes.forceKeyframeNext = false; });
  HostSessionProbe::promote(*rig.session, sink);
  path.client->send(MbbPromote{}, pathId);  // now read by the session's own loop, which has no row for it
  ASSERT_TRUE(path.client->roundTrip());
  auto stranger = std::make_shared<HostSink>(other.host, 99, false);
  HostSessionProbe::promote(*rig.session, stranger);
  EXPECT_EQ(rig.log.count("🔀 PROMOCJA"), 1u);
  EXPECT_EQ(rig.session->transport(), path.host);
  rig.probe([](SessionState& s) {
    EXPECT_FALSE(s.keyframes.forceKeyframeNext);
    EXPECT_EQ(s.identity.sessionId, pathId);
  });
  EXPECT_FALSE(path.host->isClosed());

  // A later path promoted replaces the promoted one, which is closed as the old primary.
  SecondPath later;
  rig.session->attachSecondarySink(later.host, 88, false);
  later.client->send(MbbPromote{}, 88);
  ASSERT_TRUE(rig.log.waitFor("🔀 PROMOCJA: tor NAT jest teraz główny (sessionId 88)"));
  EXPECT_TRUE(testkit::eventually([&] { return path.host->isClosed(); }));
  EXPECT_EQ(rig.session->transport(), later.host);
}

TEST(HostSessionMultipath, ThePromotedPathIsToldTheClientsDeviceStateAgain) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  rig.probe([](SessionState& s) {
    s.media.lastMicOn = true;
    s.media.lastMicQualityIdx = 9;  // beyond the ladder: its top rung
    s.media.lastCamOn = false;
    s.media.lastCamQualityIdx = 2;  // the camera is off: its quality is not sent
  });
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  path.client->send(MbbPromote{}, pathId);
  auto mic = path.client->nextPacket();
  ASSERT_TRUE(mic);
  EXPECT_EQ(RawPacket::decode(*mic).header.sessionId, pathId);
  EXPECT_EQ(RawPacket::decode(*mic).decodePayload<MicControl>().enabled, true);
  EXPECT_EQ(path.client->next<MicQuality>(), MicQuality::forLevel(MicQuality::levelCount - 1));
  EXPECT_EQ(path.client->next<CamControl>(), CamControl{false});
  ASSERT_TRUE(path.client->roundTrip());
  EXPECT_EQ(path.host->memoryReliable(Channel::control).sent().size(), 4u) << "no camera quality, then the pong";
  EXPECT_TRUE(rig.log.waitFor("🔀 po promocji odtworzyłem stan urządzeń klienta (mic ON, cam off)"));
}

TEST(HostSessionMultipath, TheHostsClipboardFollowsThePromotedPath) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  path.client->send(MbbPromote{}, pathId);
  ASSERT_TRUE(rig.log.waitFor("🔀 PROMOCJA"));
  ASSERT_TRUE(path.client->roundTrip());  // what the promotion itself sent is read
  const size_t onOldPath = rig.pair.host->memoryReliable(Channel::control).sent().size();

  const uint64_t clipId = rig.session->announceClipboard("public.utf8-plain-text", "", ClipPayload::memory({'h', 'i'}));
  auto announce = path.client->next<ClipAnnounce>();
  ASSERT_TRUE(announce) << "the copy reaches the client on the path it now uses";
  EXPECT_EQ(announce->clipId, clipId);
  EXPECT_EQ(announce->inline_, (Bytes{'h', 'i'}));
  EXPECT_EQ(rig.pair.host->memoryReliable(Channel::control).sent().size(), onOldPath) << "nothing on the old path";
}

TEST(HostSessionMultipath, ForcePathTellsTheClientTheCodeAndLogsItsName) {
  SessionRig rig;
  rig.started();
  rig.probe([](SessionState& s) { s.identity.sessionId = 5; });
  struct Row { uint8_t code; const char* name; };
  for (Row row : {Row{0, "auto"}, Row{1, "LAN"}, Row{2, "NAT"}, Row{3, "relay"}, Row{4, "VPN"}, Row{9, "?"}}) {
    rig.session->sendForcePath(row.code);
    auto packet = rig.client.nextPacket();
    ASSERT_TRUE(packet);
    auto raw = RawPacket::decode(*packet);
    EXPECT_EQ(raw.header.sessionId, 5u);
    EXPECT_EQ(raw.decodePayload<ForcePath>().path, row.code);
    EXPECT_EQ(rig.log.lines().back(), std::string("🧪 FORCE_PATH → klient: ") + row.name);
  }
}

TEST(HostSessionMultipath, APathReachingASessionThatIsGoingIsClosed) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath promoted;
  rig.session->attachSecondarySink(promoted.host, 1, false);
  rig.probe([](SessionState& s) { s.identity.disconnected = true; });  // the old path ended meanwhile
  promoted.client->send(MbbPromote{}, 1);
  EXPECT_TRUE(testkit::eventually([&] { return promoted.host->isClosed(); }));
  EXPECT_EQ(rig.session->transport(), rig.pair.host) << "no promotion into a session being torn down";
  EXPECT_EQ(rig.log.count("PROMOCJA"), 0u);

  SecondPath late;
  rig.session->attachSecondarySink(late.host, 2, false);
  EXPECT_TRUE(late.host->isClosed());
  EXPECT_TRUE(sinksOf(rig).empty());
}

TEST(HostSessionMultipath, APromotionThatFindsTheSessionClosedWhileItWaitedClosesThePathInstead) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<bool> held{false};
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path;
  rig.session->attachSecondarySink(path.host, pathId, false);
  // A copy that the path's queue is still sending holds the promotion in its wait for the sequence.
  path.host->memoryFlow(Channel::video).sent().setOnAdd([&](ByteView) {
    held = true;
    gate.wait();
  });
  sendVideoToSinks(sinksOf(rig), chunk(1));
  ASSERT_TRUE(testkit::eventually([&] { return held.load(); }));
  path.client->send(MbbPromote{}, pathId);
  ASSERT_TRUE(testkit::eventually([&] { return sinksOf(rig).empty(); }));
  rig.session->close();
  release.set_value();
  EXPECT_TRUE(testkit::eventually([&] { return path.host->isClosed(); }));
  EXPECT_EQ(rig.session->transport(), rig.pair.host);
  EXPECT_EQ(rig.log.count("PROMOCJA"), 0u);
}

}  // namespace
}  // namespace vela

namespace vela {
namespace {

// The owner's switches as the session asks them: every path but the ones in `off`.
void switchOff(testkit::SessionRig& rig, std::vector<std::string> off) {
  rig.session->updateCallbacks([off](SessionCallbacks& c) {
    c.isPathAllowed = [off](const std::string& remote) {
      return std::find(off.begin(), off.end(), remote) == off.end();
    };
  });
}

TEST(HostSessionMultipath, ASecondPathOnAPathSwitchedOffIsDroppedAndTheOthersStay) {
  testkit::SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath vpn("100.101.102.103:5000"), lan("192.168.1.5:47700");
  rig.session->attachSecondarySink(vpn.host, 1, true);
  rig.session->attachSecondarySink(lan.host, 2, false);
  switchOff(rig, {"100.101.102.103:5000"});
  rig.session->detachDisallowedSecondarySinks();
  EXPECT_TRUE(vpn.host->isClosed());
  EXPECT_FALSE(lan.host->isClosed());
  ASSERT_EQ(sinksOf(rig).size(), 1u);
  EXPECT_EQ(sinksOf(rig)[0]->sessionId(), 2u);
  EXPECT_TRUE(rig.log.waitFor("🔀 wtórny sink odłączony (sessionId 1) — tor NAT wyłączony"));
  EXPECT_FALSE(rig.pair.host->isClosed()) << "the primary path goes on";
}

TEST(HostSessionMultipath, APromotionToAPathSwitchedOffIsRefusedAndThePathClosed) {
  testkit::SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  SecondPath path("203.0.113.9:4000");
  rig.session->attachSecondarySink(path.host, pathId, false);
  // Switched off after the path attached, and its promotion asked before the owner dropped it.
  switchOff(rig, {"203.0.113.9:4000"});
  path.client->send(MbbPromote{}, pathId);
  ASSERT_TRUE(rig.log.waitFor("🚫 promocja odrzucona — tor NAT wyłączony (sessionId 77); sink odłączony"));
  EXPECT_TRUE(testkit::eventually([&] { return path.host->isClosed(); }));
  EXPECT_EQ(rig.session->transport(), rig.pair.host) << "the session stays on its primary path";
  EXPECT_FALSE(rig.pair.host->isClosed());
  rig.probe([](SessionState& s) {
    EXPECT_FALSE(s.path.promotedSink);
    EXPECT_TRUE(s.path.secondarySinks.empty());
  });
  EXPECT_EQ(rig.log.count("🔀 PROMOCJA"), 0u);
}

}  // namespace
}  // namespace vela
