// What a wired session's reports and shortcuts do to the controller: the settings each session starts
// with, diagnostics, the scale shortcuts, the host's own disconnects and the parts reached through seams.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/controller/controller_settings.hpp"
#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::FakeSession;
using controllertest::Trace;

struct ReportsRig {
  ControllerRig rig;
  std::shared_ptr<HostController> controller;

  explicit ReportsRig(const std::function<void(Settings&)>& stored = {}) {
    if (stored) stored(rig.settings);
    controller = rig.startedController();
  }
  std::shared_ptr<FakeSession> wiredSession() {
    controller->handleSession(
        std::make_shared<vela::testkit::MemorySessionTransport>(vela::testkit::MemorySessionTransport::Options{}));
    return rig.sessions.back();
  }
  std::shared_ptr<FakeSession> admittedSession(const std::string& key) {
    auto session = wiredSession();
    controller->approveTakeover(key, true, session, [](bool) {});
    settle();
    pass(HostController::takeoverPauseUs);
    return session;
  }
  void settle() { rig.main.runUntilIdle(); }
  // Lets what was posted run first, then moves time on.
  void pass(uint64_t us) {
    settle();
    rig.scheduler.advanceBy(us);
    settle();
  }
  std::string lastLine() const { return controller->logLines.get().back(); }
};

vela::DiagSnapshot snapshot(int64_t rxKbps, std::string clog = "off") {
  vela::DiagSnapshot s;
  s.rxKbps = rxKbps;
  s.clog = std::move(clog);
  return s;
}

TEST(SessionReports, EachSessionStartsWithTheStoredShortcutsStreamBufferAndClipboardRate) {
  ReportsRig r([](Settings& s) {
    s.set("tl.sc.scaleUp", 0x7002E | (int64_t{1} << 40));  // bits past the packed form are ignored
    s.set("tl.sc.scaleDown", "minus");                     // no number: the default
    s.set("tl.sc.diag", 0x80007);                          // shift and D
    s.set("tl.bufferMs", 350);
  });
  auto session = r.wiredSession();
  ASSERT_EQ(session->shortcuts.size(), 3u);
  EXPECT_EQ(session->shortcuts[0], vela::HostShortcut::withControlOptionCommand(0x2E));
  EXPECT_EQ(session->shortcuts[1], vela::HostShortcut::withControlOptionCommand(0x2D));
  EXPECT_EQ(session->shortcuts[2], (vela::HostShortcut{0x07, false, false, false, true}));
  EXPECT_EQ(ControllerSettings::packShortcut(session->shortcuts[2]), 0x80007);
  EXPECT_EQ(r.controller->diagShortcut.get(), session->shortcuts[2]);
  EXPECT_EQ(session->calls, (Trace{"mbb capable 1", "stream buffer 350", "start"})) << "stored before the start";
  EXPECT_EQ(session->clipboardRate, 512'000);
  EXPECT_TRUE(r.rig.seamCalls.empty()) << "the pasteboard is shared only once the client is admitted";
}

TEST(SessionReports, DiagnosticsSetTheClipboardRateAtOnceAndKeepTheLast120Snapshots) {
  struct Row {
    const char* why;
    vela::DiagSnapshot snapshot;
    int64_t rate;
  };
  const Row rows[] = {
      {"a slow clear link: the floor", snapshot(2'000), 500'000},
      {"a fast clear link: the ceiling", snapshot(1'000'000), 64'000'000},
      {"in between: the receive rate in bytes", snapshot(40'000), 5'000'000},
      {"a clogged link: the floor", snapshot(1'000'000, "hard"), 500'000},
      {"a rate that would overflow: the ceiling", snapshot(INT64_MAX), 64'000'000},
      {"a negative rate: the floor", snapshot(-5), 500'000},
  };
  for (const Row& row : rows) EXPECT_EQ(HostController::clipboardRateFor(row.snapshot), row.rate) << row.why;

  ReportsRig r;
  auto session = r.admittedSession("device-A");
  session->callbacks.onDiagnostics(snapshot(40'000));
  EXPECT_EQ(session->clipboardRate, 5'000'000) << "on the session's thread, before the main executor runs";
  for (int64_t i = 1; i <= 120; ++i) session->callbacks.onDiagnostics(snapshot(i));
  r.settle();
  ASSERT_EQ(r.controller->diagHistory.get().size(), HostController::diagHistoryKept);
  EXPECT_EQ(r.controller->diagHistory.get().front().rxKbps, 1) << "the oldest of 121 is dropped";
  EXPECT_EQ(r.controller->diag.get()->rxKbps, 120);

  // A session that is no longer the active one publishes nothing.
  auto late = r.wiredSession();
  late->callbacks.onDiagnostics(snapshot(7));
  late->callbacks.onClipFailed(3);
  r.settle();
  EXPECT_EQ(r.controller->diag.get()->rxKbps, 120);
  EXPECT_EQ(std::count(r.rig.seamCalls.begin(), r.rig.seamCalls.end(), "clip failed 3"), 0)
      << "its clipboard does not reach the pasteboard";
}

TEST(SessionReports, ScaleShortcutsStepAPendingChoiceThatCommitsAfterFiveSecondsOrOnTheSessionsCommit) {
  ReportsRig r;
  auto session = r.admittedSession("device-A");
  r.rig.sessionConfigs.back().scaleForDevice("device-A");  // the hello names the device
  r.settle();
  session->calls.clear();

  for (int i = 0; i < 3; ++i) {
    session->callbacks.onHostAction(HostController::scaleUpAction, true);
    session->callbacks.onHostAction(HostController::scaleUpAction, false);
    r.pass(1'000'000);
  }
  EXPECT_NEAR(*r.controller->scaleHudValue.get(), 1.15, 1e-9);
  EXPECT_EQ(r.controller->scale.get(), 1.0) << "nothing applied while the choice is pending";
  r.pass(HostController::scaleApplyDelayUs - 1'000'000);
  EXPECT_NEAR(r.controller->scale.get(), 1.15, 1e-9);
  EXPECT_FALSE(r.controller->scaleHudValue.get());
  EXPECT_EQ(session->calls, (Trace{"scale 1.15"}));
  EXPECT_NEAR(*r.rig.settings.getDouble("tl.scale"), 1.15, 1e-9);
  EXPECT_NEAR(r.rig.settings.getValue("tl.scaleByDevice")->at("device-A").get<double>(), 1.15, 1e-9);

  // The session's commit comes first: applied at once, and the timer does nothing later.
  session->callbacks.onHostAction(HostController::scaleDownAction, true);
  session->callbacks.onScaleCommit();
  r.settle();
  EXPECT_NEAR(r.controller->scale.get(), 1.10, 1e-9);
  r.pass(HostController::scaleApplyDelayUs);
  EXPECT_EQ(session->calls.size(), 2u);

  r.controller->setScale(2.7);
  EXPECT_EQ(r.rig.settings.getDouble("tl.scale"), 2.0);
  r.controller->setScale(1.0);
  for (int i = 0; i < 25; ++i) session->callbacks.onHostAction(HostController::scaleDownAction, true);
  r.settle();
  EXPECT_EQ(r.controller->scaleHudValue.get(), 1.0) << "scale-down stays at the floor";
  r.controller->commitScale();
  r.rig.settings.remove("tl.scale");
  r.controller->setScale(1.00005);
  EXPECT_FALSE(r.rig.settings.contains("tl.scale")) << "no change, nothing written";

  // A Mac client sets its own scale.
  session->callbacks.onClientPlatform(vela::Platform::mac);
  session->callbacks.onHostAction(HostController::scaleUpAction, true);
  r.settle();
  EXPECT_FALSE(r.controller->scaleHudValue.get());
}

TEST(SessionReports, TheDiagnosticsShortcutTogglesThePanelOncePerHalfSecond) {
  ReportsRig r;
  auto session = r.admittedSession("device-A");
  session->callbacks.onHostAction(HostController::diagToggleAction, true);
  session->callbacks.onHostAction(HostController::diagToggleAction, false);
  r.pass(300'000);
  session->callbacks.onHostAction(HostController::diagToggleAction, true);
  r.pass(300'000);
  session->callbacks.onHostAction(HostController::diagToggleAction, true);
  session->callbacks.onHostAction(9, true);
  r.settle();
  EXPECT_EQ(std::count(r.rig.seamCalls.begin(), r.rig.seamCalls.end(), "diagnostics panel"), 2);
}

TEST(SessionReports, AScreenLockOrSleepingDisplaysDisconnectTheClientWithoutParking) {
  ReportsRig r;
  const size_t linesBefore = r.controller->logLines.get().size();
  r.controller->screenLocked();
  EXPECT_TRUE(r.controller->hostLocked());
  EXPECT_EQ(r.controller->logLines.get().size(), linesBefore) << "without a client a lock only sets the flag";
  r.controller->screenUnlocked();

  auto session = r.admittedSession("device-A");
  session->warm = true;
  r.rig.companions.clear();
  r.controller->screenLocked();
  EXPECT_EQ(session->calls.back(), "bye");
  EXPECT_FALSE(r.controller->session());
  EXPECT_FALSE(r.controller->clientConnected.get());
  EXPECT_EQ(r.controller->status.get(), "Listening on port 47700");
  EXPECT_EQ(r.rig.companions, (Trace{"focus poll stopped", "display may sleep", "default input restored"}));
  EXPECT_FALSE(session->called("close"));
  r.pass(HostController::disconnectCloseDelayUs);
  EXPECT_TRUE(session->called("close"));
  EXPECT_FALSE(r.controller->parkedSession()) << "a disconnect by the host never parks";
  EXPECT_EQ(r.rig.trace.back(), "restore displays");
  EXPECT_EQ(r.rig.seamCalls.back(), "cursor sync") << "cursor tracking follows the session's end";

  r.controller->screenUnlocked();
  session = r.admittedSession("device-A");
  r.controller->screensAsleep();
  const auto& lines = r.controller->logLines.get();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "🔒 ekrany hosta uśpione — rozłączam klienta (BYE)"), lines.end());
  EXPECT_FALSE(r.controller->session());
}

TEST(SessionReports, InputActivityLinkMemoryAndClipboardReportsReachTheirParts) {
  ReportsRig r;
  auto session = r.admittedSession("device-A");
  r.rig.seamCalls.clear();
  r.rig.storedSeed = vela::LinkSeed{8'000'000, true, false, 0, false};
  auto seed = session->callbacks.linkSeedForDevice("dev");
  ASSERT_TRUE(seed);
  EXPECT_EQ(seed->bps, 8'000'000);
  session->callbacks.onLinkSnapshot(vela::LinkSnapshot{"dev", 9'000'000, false, true, 1, false});
  session->callbacks.onInputActivity();
  session->callbacks.onClipAnnounce(4, "public.utf8-plain-text", 12, "", std::nullopt);
  session->callbacks.onClipProgress(vela::ClipDir::receive, 6, 12);
  session->callbacks.onClipComplete(4, "public.utf8-plain-text", "", vela::ClipPayload::memory(Bytes{}));
  session->callbacks.onClipFailed(5);
  r.settle();
  EXPECT_EQ(r.rig.seamCalls,
            (Trace{"seed dev", "link dev 9000000", "input activity", "clip announced 4 public.utf8-plain-text 12",
                   "clip progress 6/12", "clip complete 4", "clip failed 5 abort od klienta"}));
}

}  // namespace
}  // namespace tavlo
