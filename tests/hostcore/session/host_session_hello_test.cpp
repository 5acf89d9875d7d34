// The hello over an in-memory transport: the accepting host hello with the listener's ports, what the
// hello learns, and every refusal (admission, display gate, display failure) answered and closed.
#include <gtest/gtest.h>

#include <thread>

#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::SessionRig;

constexpr uint64_t refusalCloseUs = 300'000;

TEST(HostSessionHello, AnAcceptedHelloAnswersOnceWithTheSessionIdAndTheListenersPorts) {
  SessionRig rig;
  rig.deps.listenerPorts = ListenerPorts{47706, 47707, 47708};
  rig.started();
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.deviceName = "Studio";
  hello.windowPxW = 1180;
  hello.windowPxH = 820;
  hello.ifaceHint = 2;
  hello.featureCaps = FeatureCaps::micStream | FeatureCaps::remoteUnlock;
  rig.client.send(hello);
  auto packet = rig.client.nextPacket();
  ASSERT_TRUE(packet);
  auto raw = RawPacket::decode(*packet);
  auto host = raw.decodePayload<HostHello>();
  EXPECT_TRUE(host.accepted);
  EXPECT_NE(host.sessionId, 0u);
  EXPECT_EQ(raw.header.sessionId, host.sessionId);
  EXPECT_EQ(host.videoUdpPort, 47706);
  EXPECT_EQ(host.audioUdpPort, 47707);
  EXPECT_EQ(host.inputUdpPort, 47708);
  EXPECT_EQ(host.hostName, "Studio Host");
  EXPECT_EQ(host.generation, 1);

  // A second hello is ignored: no second answer, no second display.
  rig.client.send(hello);
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_TRUE(rig.log.waitFor("kolejny CLIENT_HELLO w tej samej sesji — pomijam"));
  int hostHellos = 0;
  for (const auto& sent : rig.pair.host->memoryReliable(Channel::control).sent().items()) {
    hostHellos += RawPacket::decode(sent).header.msgType == ControlType::hostHello;
  }
  EXPECT_EQ(hostHellos, 1);
  EXPECT_EQ(rig.display->calls().front(), "createDisplay 1180×820");
  rig.probe([&](SessionState& s) {
    EXPECT_EQ(s.identity.linkDeviceKey, "iPad-Studio#2");
    EXPECT_TRUE(s.media.clientMicCapable);
    EXPECT_TRUE(s.identity.clientUnlockCapable);
    EXPECT_EQ(s.identity.sessionId, host.sessionId);
    EXPECT_EQ(s.engines.providedDisplay->pixelWidth, 1180);
    EXPECT_TRUE(s.engines.injector);
  });
  EXPECT_EQ(rig.display->displayLabel(), "Tavlo iPad");
}

// What each refusal path must leave: one busy HostHello with session id 0, then the transport closed
// 300 ms later.
void expectRefusedAndClosed(SessionRig& rig) {
  auto packet = rig.client.nextPacket();
  ASSERT_TRUE(packet);
  auto raw = RawPacket::decode(*packet);
  auto host = raw.decodePayload<HostHello>();
  EXPECT_FALSE(host.accepted);
  EXPECT_EQ(host.rejectReason, HostHello::RejectReason::busy);
  EXPECT_EQ(host.sessionId, 0u);
  EXPECT_EQ(raw.header.sessionId, 0u);
  EXPECT_EQ(host.videoUdpPort, 0);
  rig.scheduler().advanceBy(refusalCloseUs - 1);
  EXPECT_FALSE(rig.pair.host->isClosed());
  rig.scheduler().advanceBy(1);
  EXPECT_TRUE(rig.pair.host->isClosed());
}

TEST(HostSessionHello, EveryRefusalAnswersBusyAndClosesTheTransport300msLater) {
  enum class Path { admission, createFails, recreateFails, gateTimesOut };
  for (Path path : {Path::admission, Path::createFails, Path::recreateFails, Path::gateTimesOut}) {
    SCOPED_TRACE(static_cast<int>(path));
    SessionRig rig;
    rig.make();
    switch (path) {
      case Path::admission:
        rig.session->updateCallbacks([](SessionCallbacks& c) { c.takeoverGate = [](const std::string&, bool) { return false; }; });
        break;
      case Path::createFails:
        rig.display->setKnobs({.failCreate = true});
        break;
      case Path::recreateFails:
        rig.display->setKnobs({.requireRecreate = true, .failRecreate = true});
        break;
      case Path::gateTimesOut:
        ASSERT_TRUE(rig.deps.displayGate->tryTake());  // another session holds it for good
        rig.clock().setAdvanceOnWait(true);
        break;
    }
    rig.session->start();
    rig.scheduler().advanceBy(0);
    ClientHello hello;
    hello.deviceName = "Other";
    hello.windowPxW = 800;
    hello.windowPxH = 600;
    rig.client.send(hello);
    expectRefusedAndClosed(rig);
    rig.clock().setAdvanceOnWait(false);
    EXPECT_FALSE(rig.probe([](SessionState& s) { return s.engines.injector != nullptr; }));
    if (path == Path::admission) {
      EXPECT_TRUE(rig.display->calls().empty()) << "no display for a refused client";
      EXPECT_TRUE(rig.log.waitFor("⛔ bramka przejęcia odrzuciła [mac-Othe…] (userInitiated=true) — busy"));
    }
    if (path == Path::gateTimesOut) {
      EXPECT_TRUE(rig.log.waitFor("⚠️ handleHello: timeout bramy ekranu (15s) — pomijam"));
      EXPECT_TRUE(rig.deps.displayGate->isBusy()) << "the refusal does not free a gate it never took";
    } else {
      EXPECT_FALSE(rig.deps.displayGate->isBusy()) << "the gate is released on every path";
    }
  }
}

TEST(HostSessionHello, ASessionRefusedAtAdmissionThatNobodyHoldsStillWaitsThePauseBeforeClosing) {
  SessionRig rig;
  rig.make();
  rig.session->updateCallbacks([](SessionCallbacks& c) { c.takeoverGate = [](const std::string&, bool) { return false; }; });
  rig.session->start();
  rig.scheduler().advanceBy(0);
  std::weak_ptr<HostSession> weak = rig.session;
  rig.session.reset();  // the owner never took a refused session: only its control loop holds it
  ClientHello hello;
  hello.deviceName = "Other";
  rig.client.send(hello);
  auto answer = rig.client.next<HostHello>();
  ASSERT_TRUE(answer);
  EXPECT_FALSE(answer->accepted);
  ASSERT_TRUE(eventually([&] { return weak.expired(); })) << "the loop lets go of the refused session";
  EXPECT_FALSE(rig.pair.host->isClosed()) << "the session's end does not cut the answer's pause short";
  rig.scheduler().advanceBy(refusalCloseUs - 1);
  EXPECT_FALSE(rig.pair.host->isClosed());
  rig.scheduler().advanceBy(1);
  EXPECT_TRUE(rig.pair.host->isClosed());
}

TEST(HostSessionHello, AGateWaitEndsAtTheNextStepOnceTheSessionIsDisconnected) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.deps.displayGate->tryTake());
  rig.client.send(ClientHello{});
  ASSERT_TRUE(eventually([&] { return rig.clock().waiterCount() > 0; }));
  rig.probe([](SessionState& s) { s.identity.disconnected = true; });
  rig.clock().advanceUs(100'000);
  expectRefusedAndClosed(rig);
  EXPECT_TRUE(rig.log.waitFor("⚠️ handleHello: sesja rozłączona — pomijam operację ekranową"));
}

TEST(HostSessionHello, LinkSeedScaleAndVpnAreTakenFromTheHelloAndTheOwner) {
  SessionRig rig;
  rig.make();
  std::vector<std::string> keys;
  rig.session->updateCallbacks([&](SessionCallbacks& c) {
    c.linkSeedForDevice = [&](const std::string& key) {
      keys.push_back(key);
      return std::optional<LinkSeed>(LinkSeed{2'000'000, true, false, 0, false});
    };
    c.scaleForDevice = [&](const std::string& key) {
      keys.push_back(key);
      return 3.0;
    };
  });
  rig.session->start();
  ClientHello hello;
  hello.platform = Platform::iPhone;
  hello.deviceName = "Pocket";
  hello.windowPxW = 1179;
  hello.windowPxH = 2556;
  hello.featureCaps = FeatureCaps::viaVPN;
  rig.client.send(hello);
  ASSERT_TRUE(rig.client.next<HostHello>());
  // The link memory is keyed by device and interface (as the session's end stores it), the scale by device.
  EXPECT_EQ(keys, (std::vector<std::string>{"iPhone-Pocket#255", "iPhone-Pocket"}));
  EXPECT_TRUE(rig.log.waitFor("🩹 pamięć łącza [iPhone-P…]: start 2000k + relief QP 5 s (świeży epizod strat)"));
  // Engine setup turns the pending relief into the relief itself.
  EXPECT_TRUE(rig.log.waitFor("🩹 relief strat ON od startu sesji: sufit QP→51 (seed pamięci łącza)"));
  rig.probe([](SessionState& s) {
    EXPECT_EQ(s.adaptation.seededStartBps, 800'000);
    EXPECT_TRUE(s.adaptation.lossReliefActive);
    EXPECT_EQ(s.adaptation.lastAppliedMaxQP, 51);
    EXPECT_EQ(s.geometry.scaleS, 2.0);
    EXPECT_EQ(s.geometry.baseW, 1178);
    EXPECT_TRUE(s.identity.clientVpn);
  });
  EXPECT_EQ(rig.display->calls().front(), "createDisplay 1178×2556");
}

}  // namespace
}  // namespace vela
