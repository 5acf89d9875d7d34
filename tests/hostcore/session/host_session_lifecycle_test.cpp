// How a streaming session ends: the reaper's windows, the one-time teardown, the warm reserve (park,
// surrender, discard), close(), the display's fate and the last reference dropping on a thread of the
// session's own.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "hostcore/session/session_threads.hpp"
#include "tests/hostcore/session/streaming_session.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::makeStreaming;
using testkit::SessionRig;
using testkit::StreamingSetup;

constexpr uint64_t second = 1'000'000;
constexpr const char* teardownLine = "klient rozłączony — sprzątanie";

struct Counters {
  std::atomic<int> disconnects{0};
  std::mutex mutex;
  std::vector<LinkSnapshot> snapshots;
};

std::shared_ptr<Counters> watch(HostSession& session) {
  auto counters = std::make_shared<Counters>();
  session.updateCallbacks([counters](SessionCallbacks& c) {
    c.onDisconnect = [counters] { ++counters->disconnects; };
    c.onLinkSnapshot = [counters](const LinkSnapshot& snapshot) {
      std::lock_guard guard(counters->mutex);
      counters->snapshots.push_back(snapshot);
    };
  });
  return counters;
}

// A started session whose hello leaves the physical displays alone (so that teardown finds nothing to
// restore).
void startWithoutIsolation(SessionRig& rig) {
  auto config = rig.config();
  config.isolateDisplays = false;
  rig.started(std::move(config));
}

// A started session past its hello, streaming, with the reaper running from now.
std::shared_ptr<Counters> streamingWithReaper(SessionRig& rig, StreamingSetup setup = {}) {
  rig.started();
  auto counters = watch(*rig.session);
  EXPECT_TRUE(rig.hello());
  makeStreaming(rig, setup);
  rig.session->startReaper();
  return counters;
}

TEST(HostSessionReaper, EndsASilentSessionWithinItsWindow) {
  struct Row { const char* why; bool paused; uint64_t quietUntilUs; uint64_t endsByUs; const char* line; };
  for (Row row : {Row{"15 s of silence, seen at the next 5 s tick", false, 19 * second, 20 * second,
                      "⏱ żniwiarz: 20 s bez pakietów od klienta — zamykam sesję-zombie"},
                  Row{"a backgrounded client may stay quiet for 180 s", true, 184 * second, 185 * second,
                      "⏱ żniwiarz: 185 s bez pakietów od klienta (tło) — zamykam sesję-zombie"}}) {
    SCOPED_TRACE(row.why);
    SessionRig rig;
    auto counters = streamingWithReaper(rig);
    rig.probe([&](SessionState& s) { s.geometry.videoPaused = row.paused; });
    rig.scheduler().advanceBy(row.quietUntilUs);
    EXPECT_EQ(rig.log.count("żniwiarz"), 0u);
    rig.scheduler().advanceBy(row.endsByUs - row.quietUntilUs);
    EXPECT_TRUE(rig.log.waitFor(row.line));
    EXPECT_TRUE(eventually([&] { return counters->disconnects == 1; }));
    EXPECT_EQ(rig.scheduler().pendingCount(), 0u) << "teardown cancels the reaper";
  }
}

TEST(HostSessionReaper, StartingItCountsAsActivityAfterALongQuietSetUp) {
  SessionRig rig;
  rig.make();
  rig.scheduler().advanceBy(100 * second);  // a set-up that took long: no packet ever
  rig.session->startReaper();
  rig.scheduler().advanceBy(15 * second);
  EXPECT_EQ(rig.log.count("żniwiarz"), 0u);
  rig.scheduler().advanceBy(5 * second);
  EXPECT_TRUE(rig.log.waitFor("żniwiarz: 20 s"));
}

TEST(HostSessionReaper, ADeadKeepaliveEndsALiveSessionOnceEvenWhenBothChecksFire) {
  SessionRig rig;
  auto counters = streamingWithReaper(rig);
  rig.probe([&](SessionState& s) {
    s.identity.udpKeepaliveArmed = true;
    s.identity.lastFlowBindUs = rig.clock().nowUs();
  });
  rig.scheduler().advanceBy(15 * second);
  EXPECT_TRUE(rig.log.waitFor(
      "🫀 keepalive UDP (47703) milczy 15s przy żywej sesji — tor input martwy (rebind) → zrywam, reconnect"));
  ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));

  SessionRig both;  // silent for 20 s and keepalive dead: two teardowns asked for in one tick
  auto twice = streamingWithReaper(both);
  both.scheduler().advanceBy(16 * second);  // past the first tick, with nothing armed yet
  both.probe([&](SessionState& s) {
    s.identity.udpKeepaliveArmed = true;
    s.identity.lastFlowBindUs = both.clock().nowUs() - 10 * second;
  });
  both.scheduler().advanceBy(4 * second);
  ASSERT_TRUE(both.log.waitFor("żniwiarz"));
  ASSERT_TRUE(both.log.waitFor("keepalive UDP"));
  ASSERT_TRUE(eventually([&] { return twice->disconnects == 1; }));
  EXPECT_TRUE(eventually([] { return liveSessionThreads() <= 1; }));  // the control loop
  EXPECT_EQ(both.log.count(teardownLine), 1u);
  EXPECT_EQ(twice->disconnects, 1);
}

TEST(HostSessionReaper, APausedClientsKeepaliveIsNotWatched) {
  SessionRig rig;
  auto counters = streamingWithReaper(rig);
  rig.probe([&](SessionState& s) {
    s.geometry.videoPaused = true;
    s.identity.udpKeepaliveArmed = true;
    s.identity.lastFlowBindUs = rig.clock().nowUs();
  });
  rig.scheduler().advanceBy(60 * second);
  EXPECT_TRUE(rig.client.roundTrip());
  EXPECT_EQ(rig.log.count("keepalive"), 0u);
  EXPECT_EQ(counters->disconnects, 0);
}

TEST(HostSessionTeardown, ParksOnlyAVanishedClientThatHadAPictureAndAKnownDevice) {
  struct Row { const char* why; bool bye; bool configSent; std::string key; bool paused; bool parks; };
  for (const Row& row : {Row{"vanished after its configuration", false, true, "ipad#wifi", false, true},
                         Row{"said bye", true, true, "ipad#wifi", false, false},
                         Row{"never had a video configuration", false, false, "ipad#wifi", false, false},
                         Row{"device unknown", false, true, "", false, false},
                         Row{"in the background", false, true, "ipad#wifi", true, false}}) {
    SCOPED_TRACE(row.why);
    SessionRig rig;
    startWithoutIsolation(rig);
    auto counters = watch(*rig.session);
    ASSERT_TRUE(rig.hello());
    auto engines = makeStreaming(rig, StreamingSetup{1280, 720, row.key, row.configSent});
    rig.probe([&](SessionState& s) { s.geometry.videoPaused = row.paused; });
    if (row.bye) rig.client.send(Bye{});
    ASSERT_TRUE(rig.client.roundTrip());
    rig.pair.client->close();
    ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
    EXPECT_EQ(rig.session->parkedWarm(), row.parks);
    EXPECT_EQ(engines.capture->isRunning(), row.parks);
    EXPECT_EQ(engines.encoder->hasCompressionSession(), row.parks);
    EXPECT_EQ(rig.log.count("🅿️ ciepła rezerwa: SCK+enkoder zaparkowane (45 s na warm resume)"), row.parks ? 1u : 0u);
    EXPECT_TRUE(rig.display->isActive()) << "nothing was isolated: the display stays for the next session";
    EXPECT_EQ(rig.pair.host->closeCount(), 1);
  }
}

TEST(HostSessionTeardown, HandsTheOwnerTheLinkSnapshot) {
  SessionRig rig;
  rig.started();
  auto counters = watch(*rig.session);
  ASSERT_TRUE(rig.hello());
  makeStreaming(rig);
  uint64_t now = rig.clock().nowUs();
  rig.probe([&](SessionState& s) {
    s.adaptation.bitrateController = std::make_unique<BitrateController>(
        1280, 720, 60, 9'000'000, 800'000, std::nullopt, BitrateController::Tunables{});
    s.adaptation.bitrateController->seedProven(5'000'000);
    s.adaptation.wanLink = true;
    s.adaptation.lossObservedUntilUs = now - 20 * second;  // within the 27 s that still count
    s.adaptation.reliefChronicUntilUs = now - 1;
  });
  rig.pair.client->close();
  ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
  std::lock_guard guard(counters->mutex);
  ASSERT_EQ(counters->snapshots.size(), 1u);
  const LinkSnapshot& s = counters->snapshots[0];
  EXPECT_EQ(s.deviceKey, "studio-ipad#wifi");
  EXPECT_TRUE(s.recentLoss);
  EXPECT_TRUE(s.wanLink);
  EXPECT_EQ(s.provenBps, 5'000'000);
  EXPECT_FALSE(s.chronic);
}

TEST(HostSessionTeardown, RecreatesTheDisplayOnlyAtTheReModeLimitWhenNothingWasRestored) {
  for (int64_t reModes : {7, 8}) {
    SCOPED_TRACE(reModes);
    SessionRig rig;
    startWithoutIsolation(rig);
    auto counters = watch(*rig.session);
    ASSERT_TRUE(rig.hello());
    makeStreaming(rig, StreamingSetup{1280, 720, "k", false});
    for (int64_t i = 1; i < reModes; ++i) rig.display->applyMode(1280 + 2 * i, 720, 1280, 720);
    ASSERT_EQ(rig.display->reModeCount(), reModes);
    rig.pair.client->close();
    ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
    bool renewed = reModes >= 8;
    EXPECT_EQ(rig.display->isActive(), !renewed);
    EXPECT_EQ(rig.log.count("♻️ odtwarzam wirtualny ekran przy rozłączeniu (re-mode 8 ≥ 8) — profilaktyka degradacji SCK"),
              renewed ? 1u : 0u);
    EXPECT_FALSE(rig.deps.displayGate->isBusy()) << "the gate is released";
  }
}

TEST(HostSessionTeardown, RestoresIsolatedDisplaysAndGoesOnWithoutABusyGateAfter15s) {
  SessionRig rig;
  rig.started();
  auto counters = watch(*rig.session);
  ASSERT_TRUE(rig.hello());
  makeStreaming(rig, StreamingSetup{1280, 720, "k", false});
  rig.display->isolatePhysicalDisplays();
  ASSERT_TRUE(rig.deps.displayGate->tryTake());  // another session's display work that never ends
  uint64_t before = rig.clock().nowUs();
  rig.clock().setAdvanceOnWait(true);
  rig.pair.client->close();
  ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
  EXPECT_EQ(rig.log.count("⚠️ teardown: timeout bramy ekranu (15s) — pomijam"), 1u);
  EXPECT_EQ(rig.clock().nowUs() - before, 15 * second);
  EXPECT_FALSE(rig.display->isolated());
  EXPECT_FALSE(rig.display->isActive()) << "restored: the virtual display goes";
  EXPECT_TRUE(rig.deps.displayGate->isBusy()) << "a gate it never took is not released";
}

TEST(HostSessionTeardown, ASessionThatNeverObtainedADisplayLeavesTheDisplaysToTheOneThatDid) {
  SessionRig rig;
  rig.started();
  auto counters = watch(*rig.session);
  rig.display->createDisplay(1280, 720);  // another session's display, isolated for it
  rig.display->isolatePhysicalDisplays();
  rig.pair.client->close();  // no hello: nothing provided to this session
  ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
  EXPECT_TRUE(rig.display->isActive());
  EXPECT_TRUE(rig.display->isolated());
}

TEST(HostSessionWarmReserve, SurrendersOnlyToAHelloOfTheSameSizeAndCloseThenLeavesTheEnginesAlone) {
  SessionRig rig;
  rig.started();
  auto counters = watch(*rig.session);
  ASSERT_TRUE(rig.hello());
  auto engines = makeStreaming(rig);
  rig.pair.client->close();
  ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
  ASSERT_TRUE(rig.session->parkedWarm());

  EXPECT_FALSE(rig.session->surrenderEngines(1280, 800));
  EXPECT_TRUE(rig.session->parkedWarm()) << "a mismatch leaves the reserve parked";
  auto bundle = rig.session->surrenderEngines(1280, 720);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->capture, engines.capture);
  EXPECT_EQ(bundle->encoder, engines.encoder);
  EXPECT_EQ(bundle->pxW, 1280);
  EXPECT_EQ(bundle->displayID, engines.displayID);
  EXPECT_FALSE(rig.session->surrenderEngines(1280, 720)) << "surrendered once";

  rig.session->close();
  EXPECT_FALSE(rig.session->parkedWarm());
  EXPECT_TRUE(engines.capture->isRunning());
  EXPECT_TRUE(engines.encoder->hasCompressionSession());
}

TEST(HostSessionWarmReserve, ABundleNoHelloTakesIsStoppedAtTeardownOrWhenHandedToAnEndedSession) {
  SessionRig rig;
  rig.started();
  auto counters = watch(*rig.session);
  auto donor = makeStreaming(rig);  // engines of some parked session
  rig.probe([](SessionState& s) {
    s.engines = EngineState{};
    s.send.configSent = false;
  });
  rig.session->setPendingWarmBundle(WarmEngineBundle{donor.capture, donor.encoder, 1280, 720, 60, donor.displayID});
  rig.pair.client->close();
  ASSERT_TRUE(eventually([&] { return counters->disconnects == 1; }));
  EXPECT_EQ(rig.log.count("🅿️ bundle warm nieskonsumowany — zatrzymuję silniki"), 1u);
  EXPECT_TRUE(eventually([&] { return !donor.capture->isRunning() && !donor.encoder->hasCompressionSession(); }));

  auto late = rig.deps.engines->makeCaptureEngine([](const CaptureEngine::PixelBuffer&, uint64_t) {});
  late->start(donor.displayID, 1280, 720, 60, false, false);
  auto lateEncoder = rig.makeEncoder();
  rig.session->setPendingWarmBundle(WarmEngineBundle{late, lateEncoder, 1280, 720, 60, donor.displayID});
  EXPECT_FALSE(rig.session->pendingWarmBundle()) << "an ended session keeps no bundle";
  EXPECT_TRUE(eventually([&] { return !late->isRunning() && !lateEncoder->hasCompressionSession(); }));
}

TEST(HostSessionWarmReserve, CloseOfARunningSessionStopsItsEngines) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  auto engines = makeStreaming(rig);
  rig.session->close();
  EXPECT_FALSE(engines.capture->isRunning());
  EXPECT_FALSE(engines.encoder->hasCompressionSession());
  EXPECT_TRUE(rig.pair.host->isClosed());
}

// Holds the owner's reference until a callback lets it go.
struct Owner {
  std::mutex mutex;
  std::shared_ptr<HostSession> session;
  void drop() {
    std::shared_ptr<HostSession> last;
    std::lock_guard guard(mutex);
    last = std::move(session);
  }
};

TEST(HostSessionLifetime, ASessionReapedOnATimerThreadLetsItsLastReferenceGoThere) {
  SessionRig rig;
  rig.started();
  ASSERT_TRUE(rig.hello());
  auto engines = makeStreaming(rig, StreamingSetup{1280, 720, "k", false});
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<HostSession> weak = rig.session;
  owner->session = std::move(rig.session);
  owner->session->updateCallbacks([owner](SessionCallbacks& c) { c.onDisconnect = [owner] { owner->drop(); }; });
  owner->session->startReaper();
  std::thread timer([&] { rig.scheduler().advanceBy(20 * second); });
  timer.join();
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  EXPECT_TRUE(eventually([] { return liveSessionThreads() == 0; }));
  EXPECT_FALSE(engines.capture->isRunning());
}

}  // namespace
}  // namespace vela
