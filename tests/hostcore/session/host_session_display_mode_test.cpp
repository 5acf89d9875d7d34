// Display mode, scale and reconfiguration on a streaming session: debounced scale changes, clamps,
// encoder rebuilds (generation, controller, floor, wire cap), re-created displays, a client's pause,
// cursor images, and nothing built for a session that ended meanwhile.
#include <gtest/gtest.h>

#include "hostcore/session/session_threads.hpp"
#include "tests/hostcore/session/streaming_session.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::makeStreaming;
using testkit::SessionRig;

constexpr uint64_t ms = 1'000;

// A started session past an accepted hello (display isolated by the hello unless `isolate` is off),
// streaming at 1280×720 with engines of the rig's backends.
testkit::StreamingEngines streaming(SessionRig& rig, bool isolate = true) {
  auto config = rig.config();
  config.isolateDisplays = isolate;
  rig.started(std::move(config));
  EXPECT_TRUE(rig.hello());
  return makeStreaming(rig);
}

// Control packets of type `type` that reach the client before the answer to a ping sent now.
int countReceived(SessionRig& rig, uint8_t type) {
  constexpr uint64_t mark = 0xC0C0'1234ULL;
  rig.client.send(Ping{mark});
  int count = 0;
  while (auto packet = rig.client.nextPacket()) {
    auto raw = RawPacket::decode(*packet);
    if (raw.header.msgType == ControlType::pong && raw.decodePayload<Pong>().t1 == mark) return count;
    if (raw.header.msgType == type) ++count;
  }
  ADD_FAILURE() << "no pong";
  return count;
}

uint16_t generation(SessionRig& rig) {
  return rig.probe([](SessionState& s) { return s.identity.generation; });
}

// Runs the reconfiguration that a change scheduled, and waits until its task is done.
void runReconfiguration(SessionRig& rig) {
  rig.scheduler().advanceBy(250 * ms);
  ASSERT_TRUE(eventually([&] { return rig.log.count("✅ rekonfiguracja gen") > 0 || rig.log.count("resize →") > 0; }));
  ASSERT_TRUE(eventually([&] {
    // The client stays active meanwhile: the reaper that engine setup started must not end the session.
    rig.probe([&](SessionState& s) { s.identity.lastClientPacketUs = rig.clock().nowUs(); });
    rig.scheduler().advanceBy(10 * ms);
    return !rig.probe([](SessionState& s) { return s.geometry.isReconfiguring; });
  }));
}

TEST(DisplayMode, ScaleChangesWithin120msMakeOneHintOneModeChangeAndOneLine) {
  SessionRig rig;
  streaming(rig);
  (void)countReceived(rig, 0);  // the host hello and what came with it
  rig.session->setScale(1.25);
  rig.scheduler().advanceBy(50 * ms);
  rig.session->setScale(1.5);
  rig.scheduler().advanceBy(70 * ms);
  ASSERT_TRUE(rig.log.waitFor("skala logiczna ×1.50 → punkty 960×540, capture 1280×720"));
  EXPECT_EQ(rig.log.count("skala logiczna"), 1u);
  EXPECT_EQ(countReceived(rig, ControlType::transitionHint), 1);
  auto calls = rig.display->calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "applyMode 1920×1080"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "applyMode 1600×900"), 0);
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.keyframes.forceKeyframeNext; }));
}

TEST(DisplayMode, ClampsScaleAndFrameRateAndRebuildsTheEncoderForANewRate) {
  SessionRig rig;
  streaming(rig);
  for (auto [asked, stored] : {std::pair{2.5, 2.0}, std::pair{0.8, 1.0}}) {
    rig.session->setScale(asked);
    EXPECT_EQ(rig.session->currentScale(), stored);
  }
  rig.scheduler().advanceBy(120 * ms);
  ASSERT_TRUE(rig.log.waitFor("skala logiczna ×1.00"));

  rig.probe([](SessionState& s) { s.geometry.targetFps = 30; });
  uint16_t before = generation(rig);
  rig.session->setTargetFps(90);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.targetFps; }), 60);
  runReconfiguration(rig);
  EXPECT_EQ(generation(rig), before + 1) << "a new rate rebuilds the encoder at the same size";
  auto encoder = rig.probe([](SessionState& s) { return s.engines.encoder; });
  ASSERT_TRUE(encoder);
  EXPECT_EQ(encoder->width(), 1280);
  EXPECT_EQ(encoder->fps(), 60);
  EXPECT_TRUE(rig.log.waitFor("✅ rekonfiguracja gen"));

  rig.session->setTargetFps(10);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.targetFps; }), 24);
  runReconfiguration(rig);
  size_t pending = rig.scheduler().pendingCount();
  rig.session->setTargetFps(24);
  EXPECT_EQ(rig.scheduler().pendingCount(), pending) << "the current rate changes nothing";
}

TEST(DisplayMode, AResizeRebuildsEncoderAndControllerForTheNewSizeWithFloorAndWireCap) {
  struct Row { int64_t wireCapKbps; bool capped; };
  for (Row row : {Row{50, false}, Row{5000, true}}) {
    SessionRig rig;
    rig.settings().set("tl.wireCapKbps", row.wireCapKbps);
    streaming(rig);
    rig.probe([](SessionState& s) {
      s.keyframes.kfAdaptive = false;
      s.keyframes.kfFixedSec = 3.0;
      s.identity.generation = 65535;
    });
    rig.client.send(ResizeRequest{0, 1920, 1080, 200, 60});
    ASSERT_TRUE(rig.client.roundTrip());
    runReconfiguration(rig);
    EXPECT_TRUE(rig.log.waitFor("✅ rekonfiguracja gen 0: 1920×1080")) << "the generation wraps";
    rig.probe([&](SessionState& s) {
      EXPECT_EQ(s.geometry.currentPw, 1920);
      EXPECT_EQ(s.engines.providedDisplay->pixelWidth, 1920);
      EXPECT_FALSE(s.send.configSent);
      EXPECT_EQ(s.warm.warmHelloW, 1920);
      ASSERT_TRUE(s.adaptation.bitrateController);
      EXPECT_EQ(s.adaptation.bitrateController->floorBps(), 837'181) << "0.8 × (908,236.8 + 138,240)";
      EXPECT_EQ(s.adaptation.bitrateController->hasUserCap(), row.capped);
    });
    auto calls = rig.display->calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "applyMode 1920×1080"), calls.end());
  }
}

TEST(DisplayMode, AModeRejectedInPlaceRecreatesTheDisplayAndRestartsCaptureOnIt) {
  SessionRig rig;
  auto engines = streaming(rig);
  rig.display->setKnobs({.failApplyMode = true, .isolationSettles = true});
  rig.session->setScale(2.0);
  rig.scheduler().advanceBy(120 * ms);
  ASSERT_TRUE(rig.log.waitFor("skala logiczna ×2.00"));
  EXPECT_EQ(rig.log.count("⚠️ tryb w miejscu odrzucony/podstawiony przez WindowServer → odtwarzam ekran pod tryb docelowy"), 1u);
  uint32_t newID = rig.display->displayID();
  EXPECT_NE(newID, engines.displayID);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.engines.providedDisplay->displayID; }), newID);
  ASSERT_TRUE(engines.capture->lastStart());
  EXPECT_EQ(engines.capture->lastStart()->id, newID);
  EXPECT_TRUE(rig.log.waitFor("♻️ ekran odtworzony pod tryb 1280×720 pt (displayID " + std::to_string(newID) + ")"));
}

// A display that cannot be re-created leaves the session with no display: it ends rather than stream
// from, and inject into, the one it released.
TEST(DisplayMode, AFailedRecreationEndsTheSessionInsteadOfKeepingTheReleasedDisplay) {
  SessionRig rig;
  streaming(rig);
  rig.display->setKnobs({.failApplyMode = true, .failRecreate = true, .isolationSettles = true});
  rig.session->setScale(2.0);
  rig.scheduler().advanceBy(120 * ms);
  ASSERT_TRUE(rig.log.waitFor("❌ recreate: nie istnieje ŻADEN ekran — sesja wymaga reconnectu"));
  EXPECT_TRUE(rig.log.waitFor("klient rozłączony — sprzątanie"));
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.engines.providedDisplay.has_value(); }));
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.identity.disconnected; }));
}

TEST(DisplayMode, AShortPauseRestartsCaptureALongOneRecreatesTheDisplayAtTheCodedSize) {
  SessionRig rig;
  auto engines = streaming(rig, false);
  rig.captureBackend->setDisplays({{engines.displayID, 1280, 720}, {engines.displayID + 1, 1280, 720}});
  // The stream runs at a ladder rung below the base size.
  rig.probe([](SessionState& s) {
    s.geometry.currentPw = 960;
    s.geometry.currentPh = 540;
  });
  auto away = [&](uint64_t pauseUs) {
    rig.client.send(ClientStateMessage{ClientStateMessage::State::background, true});
    ASSERT_TRUE(rig.client.roundTrip());
    rig.clock().advanceUs(pauseUs);
    rig.client.send(ClientStateMessage{ClientStateMessage::State::foreground, true});
    ASSERT_TRUE(rig.client.roundTrip());
  };
  size_t streamsBefore = rig.captureBackend->streams().size();
  away(500 * ms);
  EXPECT_TRUE(rig.log.waitFor("stan klienta: foreground audio=true → wideo gra (500ms tła)"));
  ASSERT_TRUE(eventually([&] { return rig.captureBackend->streams().size() == streamsBefore + 1; }));
  EXPECT_EQ(engines.capture->lastStart()->id, engines.displayID) << "same display";
  EXPECT_EQ(rig.display->calls().back(), "createDisplay 1280×720") << "nothing re-created";

  away(5'000 * ms);
  ASSERT_TRUE(rig.log.waitFor("♻️ wirtualny ekran ODTWORZONY przy wznowieniu (odmrożenie kompozytora"));
  auto provided = rig.probe([](SessionState& s) { return *s.engines.providedDisplay; });
  EXPECT_EQ(provided.displayID, rig.display->displayID());
  EXPECT_NE(provided.displayID, engines.displayID);
  EXPECT_EQ(provided.pixelWidth, 960) << "the provided display keeps the coded size, not the base size";
  EXPECT_EQ(provided.pixelHeight, 540);
  EXPECT_EQ(engines.capture->lastStart()->id, provided.displayID);
}

TEST(DisplayMode, AReconfigurationThatFindsTheSessionClosedInstallsNothing) {
  SessionRig rig;
  streaming(rig);
  ASSERT_TRUE(rig.deps.displayGate->tryTake());  // the rebuild waits on the gate
  rig.probe([](SessionState& s) { s.geometry.targetFps = 30; });
  rig.session->setTargetFps(60);
  rig.scheduler().advanceBy(250 * ms);
  ASSERT_TRUE(rig.log.waitFor("resize → capture 1280×720"));
  ASSERT_TRUE(eventually([&] { return rig.clock().waiterCount() > 0; }));
  size_t encodersBefore = rig.encoderBackend->sessions().size();
  rig.session->close();
  rig.deps.displayGate->release();
  // From here every wait of the rebuild passes at once: under load its thread may reach its next wait
  // only after a single step of the clock, and would then wait for ever.
  rig.clock().setAdvanceOnWait(true);
  rig.clock().advanceUs(100 * ms);
  ASSERT_TRUE(eventually([&] { return rig.encoderBackend->sessions().size() == encodersBefore + 1; }));
  ASSERT_TRUE(eventually([&] { return rig.encoderBackend->lastSession()->invalidated(); }));
  EXPECT_FALSE(rig.probe([](SessionState& s) { return s.engines.encoder; })) << "no engine outlives the session";
  EXPECT_EQ(rig.log.count("✅ rekonfiguracja"), 0u);
}

TEST(DisplayMode, ForceOneXHalvesTheStreamAndCursorImagesWaitForTheHello) {
  SessionRig rig;
  rig.started();
  EXPECT_FALSE(rig.session->sendCursorImage(7, Bytes(16, 0xFF), 2, 2, 0, 0, 2, CursorShape::arrow))
      << "no session id before the hello";
  ASSERT_TRUE(rig.hello());
  makeStreaming(rig);
  (void)countReceived(rig, 0);
  EXPECT_FALSE(rig.session->sendCursorImage(7, Bytes(15, 0xFF), 2, 2, 0, 0, 2, CursorShape::arrow));
  EXPECT_FALSE(rig.session->sendCursorImage(7, Bytes(16, 0xFF), 2, 2, 70'000, 0, 2, CursorShape::arrow));
  EXPECT_TRUE(rig.session->sendCursorImage(7, Bytes(16, 0xFF), 2, 2, 1, 1, 2, CursorShape::arrow));
  auto image = rig.client.next<CursorImage>();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->cursorId, 7u);
  EXPECT_EQ(image->shape, CursorShape::arrow);

  rig.session->setForce1x(true);
  runReconfiguration(rig);
  EXPECT_TRUE(rig.log.waitFor("✅ rekonfiguracja gen"));
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.geometry.currentPw; }), 640);
}

}  // namespace
}  // namespace vela
