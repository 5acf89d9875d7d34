// The router port mapping on a manual clock: NAT-PMP before UPnP, on demand with its delayed release,
// the published endpoint, and the purge of an earlier run's mappings.
#include <gtest/gtest.h>

#include <csignal>

#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::Trace;

bool traced(const Trace& trace, const std::string& step) {
  return std::find(trace.begin(), trace.end(), step) != trace.end();
}

struct NatRig {
  ControllerRig rig;
  std::shared_ptr<HostController> controller;

  explicit NatRig(std::vector<std::pair<const char*, bool>> stored = {}) {
    for (auto [key, value] : stored) rig.settings.set(key, value);
    controller = rig.startedController();
    rig.trace.clear();
  }
  void settle() { rig.main.runUntilIdle(); }
  void pass(uint64_t us) {
    settle();
    rig.scheduler.advanceBy(us);
    settle();
  }
  bool logged(const std::string& line) const {
    const auto& lines = controller->logLines.get();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::shared_ptr<controllertest::FakeSession> admittedSession(const std::string& device) {
    return rig.admitSession(*controller, device);
  }
};

TEST(NatMapping, NATPMPWithinFourSecondsKeepsUPnPUnstarted) {
  NatRig r({{"tl.natOnDemand", false}});
  r.controller->setAllowNAT(true);  // maps again at once while listening
  EXPECT_EQ(r.rig.trace, (Trace{"stop NAT-PMP delete", "stop UPnP", "start NAT-PMP"}))
      << "the earlier mappers halt, UPnP without deleting the mapping the new one makes again";
  auto pmp = r.rig.mappers[r.rig.mappers.size() - 2];
  ASSERT_EQ(pmp->name, "NAT-PMP");
  EXPECT_EQ(pmp->ports, 47700);
  EXPECT_EQ(pmp->udp, (std::vector<uint16_t>{47701, 47702, 47703, 47704}));
  pmp->onMapped("198.51.100.7", 47700);
  r.pass(HostController::upnpFallbackDelayUs);
  EXPECT_EQ(r.rig.trace.back(), "relay endpoint 198.51.100.7:47700") << "UPnP never started";
  EXPECT_EQ(r.controller->mappedVia.get(), "NAT-PMP");
  EXPECT_EQ(r.controller->publicEndpoint.get(), "198.51.100.7:47700");
  EXPECT_TRUE(r.logged("🌐 KVS: opublikowano endpoint 198.51.100.7:47700 do tl.hosts (synchronize=false)"))
      << "an in-memory store writes nothing";
  EXPECT_TRUE(r.rig.keyValueStore.getValue("tl.hosts").has_value());
}

TEST(NatMapping, UPnPFollowsAfterFourSecondsOrAtOnceWithoutNATPMP) {
  {
    NatRig r({{"tl.natOnDemand", false}});
    r.controller->startNATMapping();
    r.pass(HostController::upnpFallbackDelayUs - 1);
    EXPECT_EQ(r.rig.trace.back(), "start NAT-PMP");
    r.pass(1);
    EXPECT_EQ(r.rig.trace.back(), "start UPnP");
    EXPECT_TRUE(r.logged("🌐 NAT-PMP nie zmapował w 4 s — próbuję UPnP"));
    r.rig.mappers.back()->onMapped("198.51.100.8", 47700);
    r.settle();
    EXPECT_EQ(r.controller->mappedVia.get(), "UPnP");
  }
  {
    NatRig r({{"tl.natOnDemand", false}, {"tl.useNATPMP", false}});
    r.controller->startNATMapping();
    EXPECT_EQ(r.rig.trace.back(), "start UPnP");
    EXPECT_TRUE(r.logged("🌐 NAT-PMP wyłączony — mapuję od razu przez UPnP"));
  }
  {
    NatRig r({{"tl.natOnDemand", false}, {"tl.useNATPMP", false}, {"tl.useUPnP", false}});
    r.controller->startNATMapping();
    EXPECT_FALSE(r.controller->portMappingLive());
    EXPECT_TRUE(r.logged("🌐 obie metody mapowania wyłączone — bezpośredni NAT nie zostanie zmapowany (zostaje relay)"));
  }
}

TEST(NatMapping, OnDemandMapsForARelayRequestAndReleasesTwoMinutesAfterTheLastSession) {
  NatRig r;
  EXPECT_FALSE(r.controller->portMappingLive()) << "on demand: only the purge ran at listening";
  r.controller->armNATOnDemand("żądanie sesji przez relay");
  EXPECT_EQ(Trace(r.rig.trace.begin(), r.rig.trace.begin() + 3),
            (Trace{"cancel purge NAT-PMP", "cancel purge UPnP", "start NAT-PMP"}))
      << "the purge of an earlier run must not delete the new mapping";
  EXPECT_TRUE(r.controller->portMappingLive());
  r.rig.mappers[2]->onMapped("198.51.100.7", 47700);
  r.settle();

  auto session = r.admittedSession("ipad-1");
  session->callbacks.onDisconnect();
  r.settle();
  EXPECT_TRUE(r.logged("🌐 NAT na żądanie: sesja zakończona — mapowanie zejdzie za 120 s, jeśli nikt nie wróci"));
  r.pass(HostController::natReleaseDelayUs - 1'000'000);
  EXPECT_TRUE(r.controller->portMappingLive());
  // The client is back within the two minutes: the release is called off.
  r.admittedSession("ipad-1");
  r.pass(10'000'000);
  EXPECT_TRUE(r.controller->portMappingLive());

  // A host-side disconnect (the screen locked) also lets the mapping go.
  r.rig.trace.clear();
  r.controller->screenLocked();
  r.pass(HostController::natReleaseDelayUs);
  EXPECT_FALSE(r.controller->portMappingLive());
  EXPECT_EQ(r.controller->publicEndpoint.get(), std::nullopt);
  EXPECT_NE(std::find(r.rig.trace.begin(), r.rig.trace.end(), "stop NAT-PMP delete"), r.rig.trace.end());
  EXPECT_NE(std::find(r.rig.trace.begin(), r.rig.trace.end(), "stop UPnP delete"), r.rig.trace.end());
  EXPECT_EQ(r.rig.trace.back(), "relay endpoint -");
  EXPECT_TRUE(r.logged("🌐 NAT zwolniony (brak sesji od 120 s) — mapowanie zdjęte z routera, adres wycofany z relaya i KVS"));
}

TEST(NatMapping, AQuitAndASignalTakeTheMappingOffTheRouterAndWithdrawTheEndpoint) {
  for (bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "SIGTERM" : "the tray's Quit");
    ControllerRig rig;
    rig.settings.set("tl.natOnDemand", false);
    auto deps = rig.dependencies();
    deps.handleSignals = bySignal;
    deps.exit = [&rig](HostExit reason) {
      rig.exited = reason;
      rig.main.quit(0);
    };
    auto controller = rig.make(std::move(deps));
    controller->start();
    rig.main.runUntilIdle();
    ASSERT_TRUE(controller->portMappingLive());
    rig.mappers[rig.mappers.size() - 2]->onMapped("198.51.100.7", 47700);
    rig.main.runUntilIdle();
    ASSERT_EQ(controller->publicEndpoint.get(), "198.51.100.7:47700");
    const auto published = rig.keyValueStore.getValue("tl.hosts");
    rig.trace.clear();
    if (bySignal) {
      ::raise(SIGTERM);
      EXPECT_EQ(rig.main.run(), 0);
    } else {
      controller->applicationWillTerminate();
    }
    EXPECT_FALSE(controller->portMappingLive());
    EXPECT_TRUE(traced(rig.trace, "stop NAT-PMP delete"));
    EXPECT_TRUE(traced(rig.trace, "stop UPnP delete"));
    EXPECT_TRUE(traced(rig.trace, "relay endpoint -")) << "clients asking the relay must not be sent to a host that is gone";
    EXPECT_EQ(controller->publicEndpoint.get(), std::nullopt);
    EXPECT_NE(rig.keyValueStore.getValue("tl.hosts"), published) << "the identity is published again, without the endpoint";
    const auto& lines = controller->logLines.get();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "🌐 NAT zwolniony (koniec hosta) — mapowanie zdjęte z routera, adres wycofany z relaya i KVS"),
              lines.end());
  }
}

// Mappers that no router ever answered made nothing: ending the host, or the release of an unused
// on-demand mapping, stops them but does not claim to take a mapping off the router.
TEST(NatMapping, NothingIsSaidTakenOffTheRouterWhenNoRouterGrantedAMapping) {
  {
    SCOPED_TRACE("the end of the host");
    NatRig r({{"tl.natOnDemand", false}});
    r.controller->setAllowNAT(true);
    ASSERT_TRUE(r.controller->portMappingLive());
    r.controller->applicationWillTerminate();
    EXPECT_FALSE(r.controller->portMappingLive());
    for (const auto& line : r.controller->logLines.get()) EXPECT_EQ(line.find("NAT zwolniony"), std::string::npos) << line;
  }
  {
    SCOPED_TRACE("the release of an unused on-demand mapping");
    NatRig r;
    r.controller->armNATOnDemand("żądanie sesji przez relay");
    ASSERT_TRUE(r.controller->portMappingLive());
    r.pass(HostController::natReleaseDelayUs);
    EXPECT_FALSE(r.controller->portMappingLive());
    for (const auto& line : r.controller->logLines.get()) EXPECT_EQ(line.find("NAT zwolniony"), std::string::npos) << line;
  }
  {
    SCOPED_TRACE("a mapping granted and its address never published");
    NatRig r({{"tl.natOnDemand", false}});
    r.controller->setAllowNAT(true);
    r.rig.mappers[r.rig.mappers.size() - 2]->holds = true;
    r.controller->applicationWillTerminate();
    EXPECT_TRUE(r.logged("🌐 NAT zwolniony (koniec hosta) — mapowanie zdjęte z routera"));
  }
}

TEST(NatMapping, ARelayRequestDoesNothingWhileNATIsOff) {
  NatRig r({{"tl.allowNAT", false}});
  r.controller->armNATOnDemand("żądanie sesji przez relay");
  EXPECT_FALSE(r.controller->portMappingLive());
  EXPECT_TRUE(r.rig.trace.empty());
}

}  // namespace
}  // namespace tavlo

namespace tavlo {
namespace {

// The UPnP mapper's line for a network without a gateway device names what still reaches the host:
// NAT-PMP and a relay only when they are there, the LAN when nothing else is.
TEST(NatMapping, TheUPnPMapperNamesOnlyThePathsThatRemain) {
  struct Row {
    bool relay;
    bool natPmp;
    const char* fallback;
  };
  for (const Row& row : {Row{true, true, "NAT-PMP/relay"}, Row{false, true, "NAT-PMP"}, Row{true, false, "relay"},
                         Row{false, false, "LAN"}}) {
    SCOPED_TRACE(row.fallback);
    controllertest::ControllerRig rig;
    HostController::Dependencies deps = rig.dependencies();
    if (!row.relay) deps.seams.startRelayLink = nullptr;
    rig.settings.set("tl.natOnDemand", false);
    rig.settings.set("tl.useNATPMP", row.natPmp);
    auto controller = rig.make(std::move(deps));
    rig.main.post([controller] { controller->start(); });
    rig.main.runUntilIdle();
    ASSERT_FALSE(rig.mappers.empty());
    const auto& upnp = rig.mappers.back();
    ASSERT_EQ(upnp->name, "UPnP");
    EXPECT_EQ(upnp->fallback, row.fallback);
  }
}

TEST(NatMapping, WithoutARelayTheBlockIsMappedAtListeningAndNoLineClaimsARelay) {
  controllertest::ControllerRig rig;
  HostController::Dependencies deps = rig.dependencies();
  deps.seams.startRelayLink = nullptr;
  rig.settings.set("tl.useUPnP", false);
  auto controller = rig.make(std::move(deps));
  rig.main.post([controller] { controller->start(); });
  rig.main.runUntilIdle();
  EXPECT_EQ(std::count(rig.trace.begin(), rig.trace.end(), "start NAT-PMP"), 1) << "on demand needs a relay to ask";
  EXPECT_FALSE(controller->mapsOnDemand());
  rig.settings.set("tl.useNATPMP", false);
  controller->startNATMapping();
  controller->setAllowNAT(false);
  for (const std::string& line : controller->logLines.get()) {
    EXPECT_EQ(line.find("relay"), std::string::npos) << line;
    EXPECT_EQ(line.find("przekaźnik"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace tavlo

namespace tavlo {
namespace {

using controllertest::ControllerRig;

TEST(NatOnDemand, ARelayRequestThatNeverBecomesASessionReleasesTheMappingTwoMinutesLater) {
  ControllerRig rig;
  auto controller = rig.startedController();
  controller->armNATOnDemand("żądanie sesji przez relay");
  ASSERT_TRUE(controller->portMappingLive());
  rig.mappers.back()->onMapped("198.51.100.7", 47700);
  rig.main.runUntilIdle();
  rig.trace.clear();
  rig.scheduler.advanceBy(HostController::natReleaseDelayUs - 1);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->portMappingLive()) << "the session may still come";
  rig.scheduler.advanceBy(1);
  rig.main.runUntilIdle();
  EXPECT_FALSE(controller->portMappingLive());
  EXPECT_TRUE(traced(rig.trace, "stop NAT-PMP delete"));
  EXPECT_EQ(controller->publicEndpoint.get(), std::nullopt);
  EXPECT_EQ(rig.trace.back(), "relay endpoint -");
}

TEST(NatOnDemand, ARelayRequestThatBecomesASessionKeepsTheMappingUntilAfterItsEnd) {
  ControllerRig rig;
  auto controller = rig.startedController();
  controller->armNATOnDemand("żądanie sesji przez relay");
  auto session = rig.admitSession(*controller, "ipad-1");
  rig.scheduler.advanceBy(10 * 60'000'000ull);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->portMappingLive()) << "admission called the release off";
  session->callbacks.onDisconnect();
  rig.main.runUntilIdle();
  rig.scheduler.advanceBy(HostController::natReleaseDelayUs);
  rig.main.runUntilIdle();
  EXPECT_FALSE(controller->portMappingLive());
}

TEST(NatOnDemand, WhileTheRelayIsDownTheBlockIsMappedAsWithoutARelay) {
  ControllerRig rig;
  auto controller = rig.startedController();
  ASSERT_TRUE(controller->mapsOnDemand()) << "before the link's first outcome it counts as up";
  ASSERT_FALSE(controller->portMappingLive());
  // The registration fails (a relay that refuses or is not there).
  controller->relayLinkChanged(false);
  EXPECT_TRUE(controller->portMappingLive());
  EXPECT_FALSE(controller->mapsOnDemand());
  EXPECT_TRUE(traced(rig.trace, "start NAT-PMP"));
  rig.mappers.back()->onMapped("198.51.100.7", 47700);
  rig.main.runUntilIdle();
  // Further failed retries change nothing, and no time lets the standing mapping go.
  controller->relayLinkChanged(false);
  auto session = rig.admitSession(*controller, "ipad-1");
  session->callbacks.onDisconnect();
  rig.main.runUntilIdle();
  rig.scheduler.advanceBy(10 * 60'000'000ull);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->portMappingLive());
  EXPECT_EQ(controller->publicEndpoint.get(), "198.51.100.7:47700");

  // The relay is back: on demand again, the standing mapping goes after the usual two idle minutes.
  rig.trace.clear();
  controller->relayLinkChanged(true);
  EXPECT_TRUE(controller->mapsOnDemand());
  rig.scheduler.advanceBy(HostController::natReleaseDelayUs - 1);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->portMappingLive());
  rig.scheduler.advanceBy(1);
  rig.main.runUntilIdle();
  EXPECT_FALSE(controller->portMappingLive());
  EXPECT_EQ(rig.trace.back(), "relay endpoint -");
}

TEST(NatOnDemand, TheRelayComingBackDuringASessionLeavesTheMappingToTheSessionsEnd) {
  ControllerRig rig;
  auto controller = rig.startedController();
  controller->relayLinkChanged(false);
  auto session = rig.admitSession(*controller, "ipad-1");
  controller->relayLinkChanged(true);
  rig.scheduler.advanceBy(10 * 60'000'000ull);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->portMappingLive()) << "the session uses it";
  session->callbacks.onDisconnect();
  rig.main.runUntilIdle();
  controller->relayLinkChanged(false);
  rig.scheduler.advanceBy(HostController::natReleaseDelayUs);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->portMappingLive()) << "the relay went again before the release: the mapping stays";
}

}  // namespace
}  // namespace tavlo

namespace tavlo {
namespace {

TEST(PathSwitches, ASwitchThatLeavesTheSessionDropsItsSecondPathsOnThatPathAndTheSessionAsksTheSwitches) {
  struct Row {
    const char* why;
    std::function<void(HostController&)> switchOff;
    const char* refusedPath;
  };
  const Row rows[] = {
      {"VPN off", [](HostController& c) { c.setAllowVPN(false); }, "100.101.102.103:5000"},
      {"NAT off", [](HostController& c) { c.setAllowNAT(false); }, "203.0.113.9:5000"},
      {"relay data off", [](HostController& c) { c.setAllowRelay(false); }, "relay/klient"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    controllertest::ControllerRig rig;
    auto controller = rig.startedController();
    auto session = rig.admitSession(*controller, "ipad-1", "192.168.1.5:47700");
    ASSERT_TRUE(session->callbacks.isPathAllowed);
    EXPECT_TRUE(session->callbacks.isPathAllowed(row.refusedPath));
    row.switchOff(*controller);
    rig.main.runUntilIdle();
    EXPECT_EQ(controller->session(), session) << "the LAN session stays";
    EXPECT_TRUE(session->called("detach disallowed paths"));
    EXPECT_FALSE(session->callbacks.isPathAllowed(row.refusedPath)) << "a later promotion to it is refused";
    EXPECT_TRUE(session->callbacks.isPathAllowed("192.168.1.5:47700"));
  }
}

}  // namespace
}  // namespace tavlo
