// The control loop over an in-memory transport: the hello watchdog, ping, keyframe requests, LTR
// acknowledgements, resize requests, the client's path, login, clipboard and second-path messages.
#include <gtest/gtest.h>

#include "hostcore/session/session_threads.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::SessionRig;

const std::string watchdogLine = "⏱️ brak CLIENT_HELLO w 8 s — zamykam wiszący transport";

TEST(HostSessionControl, AClientWithoutAHelloIsClosedAtEightSecondsAndOneWithAHelloIsKept) {
  {
    SessionRig rig;
    rig.started();
    rig.scheduler().advanceBy(HostSession::helloTimeoutUs - 1);
    EXPECT_FALSE(rig.pair.host->isClosed());
    rig.scheduler().advanceBy(1);
    EXPECT_TRUE(rig.pair.host->isClosed());
    EXPECT_EQ(rig.log.count(watchdogLine), 1u);
    // The teardown that follows the end of the stream finds the session already disconnected.
    EXPECT_TRUE(testkit::eventually([] { return liveSessionThreads() == 0; }));
    EXPECT_EQ(rig.log.count("klient rozłączony"), 0u);
  }
  {
    SessionRig rig;
    rig.started();
    rig.scheduler().advanceBy(7'900'000);
    ASSERT_TRUE(rig.hello());
    rig.scheduler().advanceBy(1'000'000);
    EXPECT_FALSE(rig.pair.host->isClosed());
    EXPECT_EQ(rig.log.count(watchdogLine), 0u);
    EXPECT_TRUE(rig.log.waitFor("CLIENT_HELLO od Studio: okno 1280×720"));
  }
}

TEST(HostSessionControl, APingIsAnsweredWithTheAgeOfTheLastInputPacket) {
  SessionRig rig;
  rig.started();
  auto pong = [&](uint64_t t1) {
    rig.client.send(Ping{t1});
    return rig.client.next<Pong>();
  };
  auto first = pong(77);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->t1, 77u);
  EXPECT_EQ(first->t2, rig.clock().nowUs());
  EXPECT_EQ(first->t3, rig.clock().nowUs());
  EXPECT_EQ(first->udpInputAgeMs, 65534) << "no unreliable-input packet yet";

  uint64_t now = rig.clock().nowUs();
  struct Row { uint64_t sinceUs; uint16_t ageMs; };
  for (Row row : {Row{1'234'999, 1234}, Row{65'533'000, 65533}, Row{70'000'000, 65533}}) {
    rig.probe([&](SessionState& s) { s.identity.lastInputFlowPacketUs = now - row.sinceUs; });
    EXPECT_EQ(pong(1).value().udpInputAgeMs, row.ageMs) << row.sinceUs;
  }
}

TEST(HostSessionControl, KeyframeRequestsAreLimitedAndCounted) {
  SessionRig rig;
  rig.started();
  rig.probe([](SessionState& s) {
    s.keyframes.lastIdrBytes = 20'000;
    s.adaptation.recvRateEwma = 4'000'000;
  });
  rig.client.send(IdrRequest{1, 0, IdrRequest::Reason::loss});
  ASSERT_TRUE(rig.log.waitFor("IDR_REQUEST → wymuszam keyframe"));
  for (int i = 0; i < 45; ++i) {
    rig.scheduler().advanceBy(100'000 / 45);  // all within the one-second gap
    rig.client.send(IdrRequest{1, 0, IdrRequest::Reason::loss});
  }
  ASSERT_TRUE(rig.client.roundTrip());
  for (const char* skip : {"(pominięto 1)", "(pominięto 21)", "(pominięto 41)"})
    EXPECT_EQ(rig.log.count(std::string("IDR_REQUEST zbyt częsty — limituję ") + skip), 1u) << skip;
  EXPECT_EQ(rig.log.count("IDR_REQUEST zbyt częsty"), 3u);
  rig.probe([](SessionState& s) {
    EXPECT_EQ(s.keyframes.idrReqWindow, 46);
    EXPECT_EQ(s.keyframes.idrForcedWindow, 1);
    EXPECT_EQ(s.keyframes.idrSkipped, 45);
    EXPECT_TRUE(s.keyframes.forceKeyframeNext);
    EXPECT_TRUE(s.keyframes.rescueIdrDupPending);
  });
}

TEST(HostSessionControl, AnAcknowledgedReferenceRepairsOnlyRequestsOfTheCurrentGeneration) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());  // the time steps below pass the hello watchdog
  rig.probe([](SessionState& s) { s.keyframes.ltrWireToVT[3] = 17; });
  rig.client.send(LtrAck{0, 3, 9});  // an old generation
  rig.client.send(LtrAck{1, 4, 9});  // an unknown token
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.keyframes.ltrHaveAcked; }));
  rig.client.send(LtrAck{1, 3, 9});
  ASSERT_TRUE(rig.client.roundTrip());
  rig.probe([](SessionState& s) {
    EXPECT_TRUE(s.keyframes.ltrHaveAcked);
    EXPECT_EQ(s.keyframes.ltrAckedVTTokens, std::vector<int64_t>{17});
  });

  struct Row { const char* why; Bytes packet; const char* line; };
  Bytes undecodable = encodePacket(Bye{}, 0, 0);
  undecodable[6] = ControlType::idrRequest;  // an IdrRequest header without its payload
  const Row rows[] = {
      {"another generation", encodePacket(IdrRequest{2, 0, IdrRequest::Reason::loss}, 0, 0), "wymuszam keyframe"},
      {"the current generation", encodePacket(IdrRequest{1, 0, IdrRequest::Reason::loss}, 0, 0), "LTR-refresh"},
      {"a payload that does not decode", undecodable, "LTR-refresh"},
  };
  for (const Row& row : rows) {
    rig.scheduler().advanceBy(10'000'000);  // beyond any gap
    size_t before = rig.log.count(row.line);
    rig.client.sendRaw(row.packet);
    EXPECT_TRUE(rig.log.waitFor(row.line, before + 1)) << row.why;
  }
}

TEST(HostSessionControl, AResizeRequestSetsAnEvenBoundedBaseSizeUnlessMirroring) {
  struct Row { uint16_t w, h; int64_t baseW, baseH; std::pair<int64_t, int64_t> window; };
  const Row rows[] = {{1, 1, 2, 2, {2, 2}},
                      {1281, 721, 1280, 720, {1281, 721}},
                      {65535, 9000, 8192, 8192, {8192, 8192}}};
  for (bool mirror : {false, true}) {
    SessionRig rig;
    SessionConfig config = rig.config();
    config.mirror = mirror;
    rig.started(std::move(config));
    for (const Row& row : rows) {
      rig.client.send(ResizeRequest{7, row.w, row.h, 200, 60});
      ASSERT_TRUE(rig.client.roundTrip());
      rig.probe([&](SessionState& s) {
        EXPECT_EQ(s.geometry.baseW, mirror ? 0 : row.baseW) << row.w;
        EXPECT_EQ(s.geometry.baseH, mirror ? 0 : row.baseH) << row.h;
        EXPECT_EQ(s.geometry.lastResizeWindowPx.has_value(), !mirror);
        if (!mirror) {
          EXPECT_EQ(*s.geometry.lastResizeWindowPx, row.window);
        }
      });
    }
  }
}

TEST(HostSessionControl, OnlyAChangeOfTheClientsPathResetsWhatTheLinkTaught) {
  SessionRig rig;
  rig.started();
  auto learn = [&] {
    rig.probe([](SessionState& s) {
      s.adaptation.recvRateEwma = 3e6;
      s.adaptation.rxEwmaSlow = 2e6;
      s.adaptation.reliefChronicUntilUs = 99;
      s.adaptation.slowRecoveryUntilUs = 98;
    });
  };
  auto learned = [&] { return rig.probe([](SessionState& s) { return s.adaptation.recvRateEwma != 0; }); };
  const std::string resetLine = "📡 zmiana ścieżki → kasuję naukę łącza (proven/chroniczność/EWMA)";
  learn();
  rig.client.send(ClientPathMessage{ClientPathMessage::Iface::wifi, false, false});
  rig.client.send(ClientPathMessage{ClientPathMessage::Iface::wifi, false, false});
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_TRUE(learned()) << "the first report and a repeat reset nothing";
  EXPECT_EQ(rig.log.count("📡 ścieżka klienta: WiFi"), 2u);

  rig.client.send(ClientPathMessage{ClientPathMessage::Iface::cellular, true, false});
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_FALSE(learned());
  rig.probe([](SessionState& s) {
    EXPECT_EQ(s.adaptation.rxEwmaSlow, 0);
    EXPECT_EQ(s.adaptation.reliefChronicUntilUs, 0u);
    EXPECT_EQ(s.adaptation.slowRecoveryUntilUs, 0u);
  });
  EXPECT_EQ(rig.log.count(resetLine), 1u);
  EXPECT_EQ(rig.log.count("📡 ścieżka klienta: komórkowa (droga)"), 1u);
}

TEST(HostSessionControl, LoginLogAndSwitchMessagesReachTheOwner) {
  SessionRig rig;
  int logins = 0;
  std::string switched;
  rig.make();
  rig.session->updateCallbacks([&](SessionCallbacks& c) {
    c.onLoginReceived = [&] { ++logins; };
    c.onSwitchInfo = [&](const std::string& text) { switched = text; };
  });
  rig.session->start();
  rig.client.send(LoginRequest{"zaq1\xC3\xA9"});  // five characters, six bytes
  rig.client.send(ClientLogMessage{"hej"});
  rig.client.send(SwitchInfo{"wifi→lte"});
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_EQ(rig.log.count("🔐 otrzymano hasło (dł. 5, E2E=NIE)"), 1u);
  EXPECT_EQ(rig.log.count("zaq1"), 0u) << "the password itself is never logged";
  EXPECT_EQ(logins, 1);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.identity.lastLoginPassword; }), "zaq1\xC3\xA9");
  EXPECT_EQ(rig.log.count("📱 [klient] hej"), 1u);
  EXPECT_EQ(rig.log.count("🔀 [switch] wifi→lte"), 1u);
  EXPECT_EQ(switched, "wifi→lte");

  rig.session->sendLockState(true, false);
  rig.session->sendBye();
  auto lockState = rig.client.next<LockStateMessage>();
  ASSERT_TRUE(lockState);
  EXPECT_TRUE(lockState->locked);
  EXPECT_FALSE(lockState->armed);
  EXPECT_EQ(rig.client.nextHeader()->msgType, ControlType::bye);
  EXPECT_EQ(rig.log.count("🔓 LOCK_STATE → klient: locked=true armed=false"), 1u);
}

TEST(HostSessionControl, ClipboardMessagesGoToTheEngineAndItsPiecesCarrySessionIdZero) {
  SessionRig rig;
  std::optional<uint64_t> announced;
  rig.make();
  rig.session->updateCallbacks([&](SessionCallbacks& c) {
    c.onClipAnnounce = [&](uint64_t id, const std::string& uti, uint32_t size, const std::string&,
                           const std::optional<Bytes>& inlineBytes) {
      announced = id;
      EXPECT_EQ(uti, "public.utf8-plain-text");
      EXPECT_EQ(size, 2u);
      EXPECT_EQ(inlineBytes, tavlo::toBytes("hi"));
    };
  });
  rig.session->start();
  rig.probe([](SessionState& s) { s.identity.sessionId = 4242; });
  rig.client.send(ClipAnnounce{5, "public.utf8-plain-text", 2, "", tavlo::toBytes("hi")});
  rig.client.send(ClipRequest{99, 0});  // an item this host never offered
  ASSERT_TRUE(rig.client.roundTrip());
  EXPECT_EQ(announced, 5u);
  EXPECT_EQ(rig.log.count("📋 ClipRequest #99 od klienta (od offset 0) → wysyłam dane"), 1u);
  auto packet = rig.client.nextPacket();
  ASSERT_TRUE(packet);
  auto raw = RawPacket::decode(*packet);
  EXPECT_EQ(raw.header.sessionId, 0u);
  EXPECT_EQ(raw.decodePayload<ClipData>().total, 0u) << "an unknown item is answered with an empty piece";
}

TEST(HostSessionControl, ASecondPathAttachHandsTheSessionOverAndTheEndedStreamTearsNothingDown) {
  SessionRig rig;
  std::optional<MbbAttach> attached;
  std::shared_ptr<HostSession> via;
  rig.make();
  rig.session->updateCallbacks([&](SessionCallbacks& c) {
    c.onMbbAttach = [&](const MbbAttach& attach, const std::shared_ptr<HostSession>& session) {
      attached = attach;
      via = session;
    };
    c.onDisconnect = [] { ADD_FAILURE() << "no teardown after an attach"; };
  });
  rig.session->start();
  rig.client.send(MbbAttach{77, 100, 200, 200, true});
  ASSERT_TRUE(testkit::eventually([] { return liveSessionThreads() == 0; })) << "the loop ended";
  ASSERT_TRUE(attached);
  EXPECT_EQ(attached->sessionId, 77u);
  EXPECT_EQ(via, rig.session);
  rig.scheduler().advanceBy(HostSession::helloTimeoutUs);
  EXPECT_EQ(rig.log.count(watchdogLine), 0u) << "an attach counts as the hello";
  via.reset();
  rig.probe([](SessionState& s) { s.identity.donated = true; });  // the owner took the transport
}

}  // namespace
}  // namespace vela
