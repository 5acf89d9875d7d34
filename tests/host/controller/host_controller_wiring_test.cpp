#include <gtest/gtest.h>

#include "host/controller/device_preferences.hpp"
#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::FakeSession;
using controllertest::Trace;

struct WiringRig {
  ControllerRig rig;
  std::shared_ptr<HostController> controller = rig.startedController();

  std::shared_ptr<FakeSession> wiredSession() { return rig.wireSession(*controller); }
  std::shared_ptr<FakeSession> admittedSession(const std::string& key) { return rig.admitSession(*controller, key); }
  void settle() { rig.main.runUntilIdle(); }
};

TEST(SessionWiring, BuildsTheSessionFromTheSettingsOfTheMomentAndStartsIt) {
  WiringRig w;
  w.controller->targetFps.set(30);
  w.controller->scale.set(1.5);
  w.controller->kfAdaptive.set(false);
  w.controller->kfFixedSec.set(4.0);
  w.controller->force1x.set(true);
  w.controller->mbbEnabled.set(false);
  auto session = w.wiredSession();
  EXPECT_EQ(w.controller->logLines.get().back(), "nowa sesja: 192.0.2.1:50000");
  const vela::SessionConfig& c = w.rig.sessionConfigs.back();
  EXPECT_EQ(c.hostName, "testhost");
  EXPECT_EQ(c.targetFps, 30);
  EXPECT_EQ(c.initialScale, 1.5);
  EXPECT_FALSE(c.keyframeAdaptive);
  EXPECT_EQ(c.keyframeFixedSec, 4.0);
  EXPECT_TRUE(c.force1x && c.setAsMain && c.isolateDisplays && !c.mirror && !c.useTapAudio);
  EXPECT_NE(c.transport, nullptr);
  EXPECT_EQ(session->calls, (Trace{"mbb capable 0", "stream buffer 200", "start"}));
  EXPECT_EQ(w.rig.companions, (Trace{"camera watching"}));
  EXPECT_FALSE(w.controller->session()) << "the controller holds no session before admission";
}

TEST(SessionWiring, TheUpdaterSeesWhetherASessionExistsAndPublishesItsStatus) {
  WiringRig w;
  ASSERT_TRUE(w.rig.updateHooks.noSession && w.rig.updateHooks.publishStatus);
  EXPECT_TRUE(w.rig.updateHooks.noSession());
  auto session = w.admittedSession("device-A");
  EXPECT_FALSE(w.rig.updateHooks.noSession());
  EXPECT_EQ(w.rig.updateSessionEnds, 0);
  w.rig.updateHooks.publishStatus("Installing…");
  EXPECT_EQ(w.controller->updateStatus.get(), "Installing…");
}

TEST(SessionWiring, LateReportsOfASessionThatIsNoLongerActiveChangeNothingButTheSwitchInfo) {
  WiringRig w;
  auto old = w.admittedSession("device-A");
  auto current = w.admittedSession("device-A");
  ASSERT_EQ(w.controller->session(), current);

  old->callbacks.onClientName("Old iPad");
  old->callbacks.onClientPlatform(vela::Platform::vision);
  old->callbacks.onDisconnect();
  old->callbacks.onSwitchInfo("LAN → NAT");
  old->callbacks.onForce1xAvailable(false);
  w.settle();
  EXPECT_EQ(w.controller->clientName.get(), "");
  EXPECT_FALSE(w.controller->clientPlatform.get().has_value());
  EXPECT_EQ(w.controller->session(), current) << "a late disconnect does not end the active session";
  EXPECT_TRUE(w.controller->clientConnected.get());
  EXPECT_EQ(w.controller->lastSwitchInfo.get(), "LAN → NAT");
  EXPECT_FALSE(w.controller->force1xAvailable.get());
  EXPECT_EQ(w.rig.companions.back(), "force1x suppressed 1") << "a headset suppresses force-1x at once";

  current->callbacks.onClientName("iPad");
  current->callbacks.onClientPlatform(vela::Platform::iPad);
  w.settle();
  EXPECT_EQ(w.controller->clientName.get(), "iPad");
  EXPECT_EQ(w.controller->clientPlatform.get(), vela::Platform::iPad);

  // Once the controller is gone, every callback does nothing.
  auto callbacks = current->callbacks;
  w.controller.reset();
  callbacks.onClientName("late");
  callbacks.onDisconnect();
  EXPECT_EQ(callbacks.isCamConsumed(), false);
  w.settle();
}

TEST(SessionWiring, TheEndOfTheActiveSessionReturnsToListeningAndParksWarmEngines) {
  WiringRig w;
  auto session = w.admittedSession("device-A");
  session->callbacks.onClientName("iPad");
  session->warm = true;
  w.settle();
  w.rig.companions.clear();
  w.rig.trace.clear();

  session->callbacks.onDisconnect();
  w.settle();
  EXPECT_FALSE(w.controller->session());
  EXPECT_FALSE(w.controller->clientConnected.get());
  EXPECT_EQ(w.controller->clientName.get(), "");
  EXPECT_EQ(w.controller->status.get(), "Listening on port 47700");
  EXPECT_EQ(w.controller->parkedSession(), session);
  EXPECT_EQ(w.rig.companions, (Trace{"force1x suppressed 0", "focus poll stopped", "display may sleep",
                                     "default input restored"}));
  EXPECT_EQ(w.controller->logLines.get().back(), "gotowy na kolejnego klienta");
  EXPECT_EQ(w.rig.updateSessionEnds, 1) << "the updater's quiet period starts over";

  // Nobody came back: the reserve expires, its engines stop and the displays are put back.
  w.rig.scheduler.advanceBy(HostController::warmReserveUs);
  w.settle();
  EXPECT_FALSE(w.controller->parkedSession());
  EXPECT_TRUE(session->called("close"));
  EXPECT_EQ(w.rig.trace, (Trace{"restore displays"})) << "kept for the next client below the re-mode threshold";
}

TEST(SessionWiring, TheSameClientReturningToItsParkedSessionResumesItsEngines) {
  WiringRig w;
  auto session = w.admittedSession("device-A");
  session->warm = true;
  session->warmBundle = vela::WarmEngineBundle{nullptr, nullptr, 1280, 720, 60, 7};
  session->callbacks.onDisconnect();
  w.settle();
  auto returning = w.admittedSession("device-A");
  EXPECT_TRUE(returning->pendingBundle.has_value()) << "parked under the key it was admitted with";
  EXPECT_FALSE(w.controller->parkedSession());
}

TEST(SessionWiring, ASecondPathAttachesOnlyToTheActivePrimaryItNamesWithMakeBeforeBreakOn) {
  WiringRig w;
  vela::MbbAttach attach;
  attach.sessionId = 7;
  attach.viaVPN = true;

  auto lonely = w.wiredSession();
  lonely->callbacks.onMbbAttach(attach, nullptr);
  w.settle();
  EXPECT_EQ(lonely->calls.back(), "cancel transport");
  EXPECT_EQ(w.controller->logLines.get().back(), "🔀 MBB_ATTACH bez aktywnej sesji prymarnej — odrzucam");

  auto primary = w.admittedSession("device-A");
  primary->id = 7;
  vela::MbbAttach foreign = attach;
  foreign.sessionId = 8;
  auto stranger = w.wiredSession();
  stranger->callbacks.onMbbAttach(foreign, nullptr);
  w.settle();
  EXPECT_EQ(stranger->calls.back(), "cancel transport") << "a path naming another session gets no stream";
  EXPECT_FALSE(stranger->called("donate"));
  EXPECT_EQ(w.controller->logLines.get().back(), "🔀 MBB_ATTACH do obcej sesji (sessionId 8) — odrzucam");

  auto attaching = w.wiredSession();
  vela::testkit::MemorySessionTransport::Options options;
  options.description = "100.64.0.9:5000";
  attaching->donated = std::make_shared<vela::testkit::MemorySessionTransport>(options);
  attaching->callbacks.onMbbAttach(attach, nullptr);
  w.settle();
  EXPECT_EQ(attaching->calls.back(), "donate");
  EXPECT_EQ(primary->calls.back(), "attach 100.64.0.9:5000 7 vpn");
  EXPECT_EQ(w.controller->logLines.get().back(),
            "🔀 MbB: grzany tor 100.64.0.9:5000 (VPN) dołączony jako sink sesji prymarnej");

  w.controller->mbbEnabled.set(false);
  auto refused = w.wiredSession();
  refused->callbacks.onMbbAttach(attach, nullptr);
  w.settle();
  EXPECT_EQ(refused->calls.back(), "cancel transport");
  EXPECT_EQ(primary->calls.back(), "attach 100.64.0.9:5000 7 vpn") << "the primary is left alone";
  EXPECT_EQ(w.controller->logLines.get().back(), "🔀 MBB_ATTACH odrzucony — MbB wyłączone");
}

TEST(SessionWiring, TextFocusChangesGoToTheActiveSessionOnly) {
  WiringRig w;
  auto session = w.wiredSession();
  ASSERT_TRUE(w.rig.focusHandler);
  w.rig.focusHandler({true, false, std::nullopt});
  w.settle();
  EXPECT_EQ(session->calls, (Trace{"mbb capable 1", "stream buffer 200", "start"})) << "not admitted yet";

  session = w.admittedSession("device-A");
  w.rig.focusHandler({true, true, ScreenRect{10.7, 20.2, 300.9, 40}});
  w.settle();
  EXPECT_EQ(session->calls.back(), "text focus on framed");
  EXPECT_EQ(w.controller->logLines.get().back(), "⌨️ fokus tekstowy (secure=true, ramka=10,20 300×40) → TEXT_FOCUS(on)");
  w.rig.focusHandler({false, false, std::nullopt});
  w.settle();
  EXPECT_EQ(w.controller->logLines.get().back(), "⌨️ fokus nietekstowy → TEXT_FOCUS(off)");
}

TEST(SessionWiring, PerDeviceScaleAndForce1xComeFromTheirMemoriesAndArePublished) {
  struct Row {
    const char* why;
    JsonValue byDevice;
    std::optional<double> global;
    double expected;
  };
  const Row rows[] = {
      {"the device's own scale", JsonValue{{"dev", 1.25}}, 2.0, 1.25},
      {"no entry: the global scale, clamped", JsonValue::object(), 2.5, 2.0},
      {"nothing stored: 1.0", JsonValue::object(), std::nullopt, 1.0},
      {"an entry that is no number falls back", JsonValue{{"dev", "big"}}, 1.5, 1.5},
  };
  for (const Row& row : rows) {
    Settings settings;
    settings.set("tl.scaleByDevice", row.byDevice);
    if (row.global) settings.set("tl.scale", *row.global);
    EXPECT_EQ(deviceScale(settings, "dev"), row.expected) << row.why;
  }
  Settings settings;
  settings.set("tl.force1x", true);
  settings.set("tl.force1xByDevice", JsonValue{{"dev", false}});
  EXPECT_FALSE(deviceForce1x(settings, "dev", false)) << "the device's own memory wins";
  EXPECT_TRUE(deviceForce1x(settings, "dev", true)) << "the session's own wish adds to it";
  EXPECT_TRUE(deviceForce1x(settings, "other", false)) << "no entry: the global setting";

  WiringRig w;
  w.rig.settings.set("tl.scaleByDevice", JsonValue{{"dev", 1.75}});
  w.wiredSession();
  const vela::SessionConfig& c = w.rig.sessionConfigs.back();
  EXPECT_EQ(c.scaleForDevice("dev"), 1.75);
  EXPECT_TRUE(w.rig.sessions.back()->callbacks.force1xForDevice("dev", true));
  EXPECT_EQ(w.rig.companions.back(), "force1x active 1") << "set at once on the caller's thread";
  w.settle();
  EXPECT_EQ(w.controller->scale.get(), 1.75);
  EXPECT_TRUE(w.controller->force1x.get());
  EXPECT_EQ(w.controller->currentDeviceKey(), "dev");
}

}  // namespace
}  // namespace tavlo
