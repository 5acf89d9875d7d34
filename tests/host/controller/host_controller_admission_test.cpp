#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::FakeSession;
using controllertest::Trace;

// A listening controller and the clients' sessions; the test's thread drives the main executor and time.
struct AdmissionRig {
  ControllerRig rig;
  std::shared_ptr<HostController> controller = rig.startedController();

  static std::shared_ptr<FakeSession> client(const std::string& key) {
    auto session = std::make_shared<FakeSession>(key);
    session->key = key;
    return session;
  }
  // The decision, when it was given by the time the main executor is idle.
  std::optional<bool> hello(const std::shared_ptr<FakeSession>& session, bool userInitiated) {
    auto answer = std::make_shared<std::optional<bool>>();
    controller->approveTakeover(*session->key, userInitiated, session, [answer](bool ok) { *answer = ok; });
    rig.main.runUntilIdle();
    return *answer;
  }
  // A hello that displaces the active session: decided once the pause has passed.
  std::optional<bool> takeover(const std::shared_ptr<FakeSession>& session, bool userInitiated) {
    auto answer = std::make_shared<std::optional<bool>>();
    controller->approveTakeover(*session->key, userInitiated, session, [answer](bool ok) { *answer = ok; });
    rig.main.runUntilIdle();
    pass(HostController::takeoverPauseUs);
    return *answer;
  }
  void pass(uint64_t us) {
    rig.scheduler.advanceBy(us);
    rig.main.runUntilIdle();
  }
  std::string lastLine() const { return controller->logLines.get().back(); }
};

TEST(Admission, LockedScreenRefusesOnlyAnAutomaticHelloOfAClientThatCannotUnlock) {
  struct Row {
    const char* why;
    bool userInitiated;
    bool supportsUnlock;
    bool admitted;
  };
  const Row rows[] = {
      {"automatic, cannot unlock: refused", false, false, false},
      {"automatic, can unlock: admitted and told at once", false, true, true},
      {"user-initiated: admitted", true, false, true},
  };
  for (const Row& row : rows) {
    AdmissionRig a;
    a.rig.screenLocked = true;
    a.controller->screenLocked();
    auto session = AdmissionRig::client("device-A");
    session->supportsUnlock = row.supportsUnlock;
    EXPECT_EQ(a.hello(session, row.userInitiated), row.admitted) << row.why;
    if (!row.admitted) {
      EXPECT_EQ(a.lastLine(), "⛔ host zablokowany — odrzucam auto-HELLO klienta bez odblokowania (ręczne przechodzi)");
      EXPECT_FALSE(a.controller->session());
      continue;
    }
    EXPECT_EQ(session->calls.back(), "lock state 11") << row.why << ": locked, armed by the encrypted transport";
  }
}

TEST(Admission, AcceptanceSwitchesOnTheClientsCompanionsAndReportsTheInitialFocus) {
  AdmissionRig a;
  a.rig.settings.set("tl.clientForcePath", "relay");
  a.controller->clientForcePath.set("relay");
  a.rig.lastFocus = TextFocusWatcher::FocusInfo{true, false, ScreenRect{10, 20, 300, 40}};
  auto first = AdmissionRig::client("device-A");
  EXPECT_EQ(a.hello(first, false), true);

  EXPECT_EQ(a.controller->session(), first);
  EXPECT_EQ(a.controller->connectedDeviceKey(), "device-A");
  EXPECT_TRUE(a.controller->clientConnected.get());
  EXPECT_EQ(a.controller->status.get(), "Client connected");
  EXPECT_FALSE(a.controller->takeoverBusy());
  EXPECT_EQ(first->calls, (Trace{"force path 3", "text focus on framed"}));
  EXPECT_EQ(a.rig.companions, (Trace{"default input", "user activity", "focus watching", "display awake"}));
  const auto& lines = a.controller->logLines.get();
  EXPECT_EQ(lines[lines.size() - 2], "☕️ asercja zasilania WŁĄCZONA (ekrany hosta nie usną z bezczynności)");
  EXPECT_EQ(lines.back(), "⌨️ stan początkowy fokusu → TEXT_FOCUS(on) przy akcepcie");
  ASSERT_TRUE(first->callbacks.onLoginReceived) << "the unlock handler is installed";

  // The same device again: the old session goes, the assertion stays the one already held.
  a.rig.companions.clear();
  a.rig.lastFocus.reset();
  auto again = AdmissionRig::client("device-A");
  EXPECT_EQ(a.takeover(again, false), true);
  EXPECT_EQ(std::count(a.rig.companions.begin(), a.rig.companions.end(), "display awake"), 0);
  EXPECT_TRUE(again->called("text focus off"));
}

TEST(Admission, ADisplacedDeviceIsKeptOutBrieflyAndThenOnlyByItsOwnHand) {
  AdmissionRig a;
  auto sessionA = AdmissionRig::client("device-A");
  ASSERT_EQ(a.hello(sessionA, false), true);

  // B's user displaces A: goodbye at once, the transport after the pause, no park.
  auto sessionB = AdmissionRig::client("device-B");
  auto answer = std::make_shared<std::optional<bool>>();
  a.controller->approveTakeover("device-B", true, sessionB, [answer](bool ok) { *answer = ok; });
  a.rig.main.runUntilIdle();
  EXPECT_EQ(a.lastLine(), "↻ nowy klient przejmuje — rozłączam poprzedniego (BYE, bez wznawiania)");
  EXPECT_EQ(sessionA->calls.back(), "bye");
  EXPECT_FALSE(a.controller->session()) << "no active session during the pause";
  EXPECT_FALSE(answer->has_value());

  // A second hello during the pause is refused as busy.
  auto sessionC = AdmissionRig::client("device-C");
  EXPECT_EQ(a.hello(sessionC, true), false);
  EXPECT_EQ(a.lastLine(), "⛔ przejęcie w toku — odrzucam równoległe HELLO (busy)");

  a.pass(HostController::takeoverPauseUs);
  EXPECT_EQ(*answer, true);
  EXPECT_EQ(a.controller->session(), sessionB);
  EXPECT_EQ(Trace(sessionA->calls.end() - 3, sessionA->calls.end()), (Trace{"bye", "cancel transport", "close"}));
  EXPECT_FALSE(a.controller->parkedSession());

  // A comes back by itself within 3 s: the boomerang is refused.
  a.pass(2'000'000);
  auto returningA = AdmissionRig::client("device-A");
  EXPECT_EQ(a.hello(returningA, false), false);
  EXPECT_EQ(a.lastLine(), "⛔ boomerang wypartego klienta <3s po przejęciu — odrzucam (anty-ping-pong)");
  EXPECT_FALSE(a.controller->takeoverBusy());

  // After 3 s an automatic reconnect of another device is still refused...
  a.pass(1'000'000);
  EXPECT_EQ(a.hello(returningA, false), false);
  EXPECT_EQ(a.lastLine(), "⛔ auto-reconnect innego urządzenia przy aktywnej sesji — odrzucam (busy)");
  EXPECT_TRUE(sessionB->calls.back() != "bye");

  // ...while its user's hello displaces B.
  EXPECT_EQ(a.takeover(returningA, true), true);
  EXPECT_EQ(a.controller->session(), returningA);
  EXPECT_TRUE(sessionB->called("bye") && sessionB->called("close"));
}

TEST(Admission, TheSameDeviceReconnectingLeavesTheDisplacementMemoryAlone) {
  AdmissionRig a;
  auto sessionA = AdmissionRig::client("device-A");
  ASSERT_EQ(a.hello(sessionA, false), true);
  auto sessionB = AdmissionRig::client("device-B");
  ASSERT_EQ(a.takeover(sessionB, true), true);

  // B reconnects on its own: its old session goes, and A is still the displaced device.
  auto sessionB2 = AdmissionRig::client("device-B");
  EXPECT_EQ(a.takeover(sessionB2, false), true);
  EXPECT_TRUE(sessionB->called("bye"));
  EXPECT_EQ(a.hello(AdmissionRig::client("device-A"), true), false) << "A's return is still a boomerang";
  a.pass(3'000'000);
  EXPECT_EQ(a.takeover(AdmissionRig::client("device-A"), true), true);
}

TEST(Admission, AParkedSessionHandsItsEnginesOnlyToItsOwnDeviceAtTheSameSize) {
  struct Row {
    const char* why;
    const char* newKey;
    int64_t helloW;
    bool resumed;
  };
  const Row rows[] = {
      {"same device, same size: warm resume", "device-A", 1280, true},
      {"same device, another size: starts cold", "device-A", 1920, false},
      {"another device: starts cold", "device-B", 1280, false},
  };
  for (const Row& row : rows) {
    AdmissionRig a;
    auto parked = AdmissionRig::client("device-A");
    parked->warmBundle = vela::WarmEngineBundle{nullptr, nullptr, 1280, 720, 60, 7};
    a.controller->setParkedSession(parked, "device-A");
    auto fresh = AdmissionRig::client(row.newKey);
    fresh->helloW = row.helloW;
    EXPECT_EQ(a.hello(fresh, false), true) << row.why;
    EXPECT_FALSE(a.controller->parkedSession()) << row.why;
    EXPECT_TRUE(parked->called("close")) << row.why << ": the parked session ends either way";
    EXPECT_EQ(fresh->pendingBundle.has_value(), row.resumed) << row.why;
    const auto& lines = a.controller->logLines.get();
    const std::string expected = row.resumed ? "♨️ warm resume: ciepłe silniki → nowa sesja [device-A…]"
                                             : "🅿️ park niekompatybilny — zatrzymuję zaparkowane silniki";
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << row.why;
  }
}

TEST(Admission, APasswordIsTypedOnlyAtALockedScreenAndAFailureIsReportedAfterThreeSeconds) {
  AdmissionRig a;
  auto session = AdmissionRig::client("device-A");
  ASSERT_EQ(a.hello(session, true), true);
  session->calls.clear();

  session->callbacks.onLoginReceived();
  a.rig.main.runUntilIdle();
  EXPECT_EQ(a.lastLine(), "🔓 hasło odebrane, ale ekran NIE zablokowany — tylko zapamiętuję, nic nie wpisuję");
  EXPECT_TRUE(session->calls.empty());

  a.rig.screenLocked = true;
  session->callbacks.onLoginReceived();
  a.rig.main.runUntilIdle();
  EXPECT_EQ(session->calls, (Trace{"attempt unlock"}));
  EXPECT_TRUE(a.controller->unlockVerifyPending());
  a.pass(HostController::unlockVerifyUs);
  EXPECT_EQ(a.lastLine(), "🔓❌ NIE odblokowano w 3 s — mur loginwindow albo złe hasło; BEZ retry");
  EXPECT_EQ(session->calls.back(), "lock state 11");

  // The screen unlocks in time: the verification finds nothing to report.
  session->callbacks.onLoginReceived();
  a.rig.main.runUntilIdle();
  a.controller->screenUnlocked();
  EXPECT_EQ(a.lastLine(), "🔓✅ ODBLOKOWANO — hasło przeszło do loginwindow");
  EXPECT_EQ(session->calls.back(), "lock state 00");
  a.pass(HostController::unlockVerifyUs);
  EXPECT_EQ(a.lastLine(), "🔓✅ ODBLOKOWANO — hasło przeszło do loginwindow");
}

TEST(Admission, TheGateWaitsOnTheSessionsThreadForTheDecisionAfterThePause) {
  AdmissionRig a;
  a.controller->handleSession(std::make_shared<vela::testkit::MemorySessionTransport>(vela::testkit::MemorySessionTransport::Options{}));
  a.controller->handleSession(std::make_shared<vela::testkit::MemorySessionTransport>(vela::testkit::MemorySessionTransport::Options{}));
  ASSERT_EQ(a.rig.sessions.size(), 2u);
  auto first = a.rig.sessions[0];
  auto second = a.rig.sessions[1];

  std::optional<bool> firstAdmitted;
  std::thread hello([&] { firstAdmitted = first->callbacks.takeoverGate("device-A", false); });
  while (!a.controller->session()) a.rig.main.runUntilIdle();
  hello.join();
  EXPECT_EQ(firstAdmitted, true);

  std::atomic<bool> decided{false};
  bool secondAdmitted = false;
  std::thread takeover([&] {
    secondAdmitted = second->callbacks.takeoverGate("device-B", true);
    decided = true;
  });
  while (!first->called("bye")) a.rig.main.runUntilIdle();
  EXPECT_FALSE(decided) << "the decision waits for the pause";
  a.rig.scheduler.advanceBy(HostController::takeoverPauseUs);
  while (!decided) a.rig.main.runUntilIdle();
  takeover.join();
  EXPECT_TRUE(secondAdmitted);
  EXPECT_EQ(a.controller->session(), second);

  // A gate whose controller is gone refuses.
  std::weak_ptr<HostController> gone;
  EXPECT_FALSE(HostController::takeoverGate(gone, second, "device-C", true));
}

}  // namespace
}  // namespace tavlo

namespace tavlo {
namespace {

// At the program's end both the streaming and the parked session are closed, so that none of their
// loops still posts to the main executor once it is gone.
TEST(Admission, ExitClosesTheActiveAndTheParkedSession) {
  AdmissionRig a;
  auto active = AdmissionRig::client("device-A");
  ASSERT_EQ(a.hello(active, true), true);
  ASSERT_EQ(a.controller->session(), active);
  auto parked = AdmissionRig::client("device-B");
  a.controller->setParkedSession(parked, "device-B");
  a.controller->closeSessionsForExit();
  EXPECT_TRUE(active->called("close"));
  EXPECT_TRUE(parked->called("close"));
  EXPECT_FALSE(a.controller->session());
  EXPECT_FALSE(a.controller->parkedSession());
}

}  // namespace
}  // namespace tavlo
