// The stream settings the user interface sets and the reachability switches: each one stored under its
// key with its clamp, published, and reaching the running session at once.
#include <gtest/gtest.h>

#include "host/controller/controller_settings.hpp"
#include "host/controller/device_preferences.hpp"
#include "host/controller/host_controller.hpp"
#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::FakeSession;
using controllertest::Trace;

struct SettingsRig {
  ControllerRig rig;
  std::shared_ptr<HostController> controller;

  explicit SettingsRig(const std::function<void(Settings&)>& stored = {}) {
    if (stored) stored(rig.settings);
    controller = rig.startedController();
  }
  // A session admitted for `device`, its device named by its hello.
  std::shared_ptr<FakeSession> admittedSession(const std::string& device, const std::string& peer = "192.168.1.9:5000") {
    auto session = rig.admitSession(*controller, device, peer);
    rig.sessionConfigs.back().scaleForDevice(device);
    settle();
    session->calls.clear();
    return session;
  }
  void settle() { rig.main.runUntilIdle(); }
  bool logged(const std::string& line) const {
    const auto& lines = controller->logLines.get();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

TEST(StreamSettings, EachSetterStoresItsClampedValueAndReachesTheSession) {
  SettingsRig r;
  auto session = r.admittedSession("ipad-1");
  HostController& c = *r.controller;

  c.setBufferMs(-5);
  EXPECT_EQ(r.rig.settings.getInt("tl.bufferMs"), 0);
  c.setBufferMs(5000);
  EXPECT_EQ(r.rig.settings.getInt("tl.bufferMs"), 1000);
  EXPECT_EQ(c.bufferMs.get(), 1000);

  c.kfAdaptive.set(false);
  c.kfFixedSec.set(0.05);
  c.applyKeyframePolicy();
  EXPECT_EQ(r.rig.settings.getDouble("tl.kfFixedSec"), 0.1) << "applying clamps to 0.1 s, not the 0.2 s of start";
  c.kfFixedSec.set(0.15);
  c.applyKeyframePolicy();
  EXPECT_EQ(r.rig.settings.getDouble("tl.kfFixedSec"), 0.15);
  EXPECT_EQ(r.rig.settings.getBool("tl.kfAdaptive"), false);

  c.setMaxBandwidthKbps(-20);
  EXPECT_EQ(r.rig.settings.getInt("tl.wireCapKbps"), 0);
  c.setMaxBandwidthKbps(8000);

  EXPECT_EQ(session->calls, (Trace{"send stream buffer 0", "send stream buffer 1000", "keyframes fixed 0.10",
                                   "keyframes fixed 0.15", "wire cap 0", "wire cap 8000"}));
}

TEST(StreamSettings, ShortcutsAreStoredPackedAndForce1xIsRememberedForTheDevice) {
  SettingsRig r([](Settings& s) { s.set("tl.force1xByDevice", JsonValue{{"old", "yes"}}); });
  auto session = r.admittedSession("ipad-1");
  HostController& c = *r.controller;

  const vela::HostShortcut shiftD{0x07, false, false, false, true};
  c.setShortcut(HostController::diagToggleAction, shiftD);
  c.setShortcut(9, vela::HostShortcut::withControlOptionCommand(0x04));  // no such action
  EXPECT_EQ(r.rig.settings.getInt("tl.sc.diag"), 0x80007);
  EXPECT_FALSE(r.rig.settings.contains("tl.sc.scaleUp"));
  EXPECT_EQ(c.diagShortcut.get(), shiftD);
  ASSERT_EQ(session->shortcuts.size(), 3u);
  EXPECT_EQ(session->shortcuts[2], shiftD);

  r.rig.companions.clear();
  c.setForce1x(true);
  EXPECT_EQ(r.rig.settings.getBool("tl.force1x"), true);
  EXPECT_TRUE(deviceForce1x(r.rig.settings, "ipad-1", false));
  // A map holding something else than Bools counts as empty: the stray entry goes.
  EXPECT_EQ(r.rig.settings.getValue("tl.force1xByDevice"), (JsonValue{{"ipad-1", true}}));
  EXPECT_EQ(r.rig.companions, (Trace{"force1x active 1"}));
  EXPECT_EQ(session->calls, (Trace{"force1x 1"}));
}

TEST(Reachability, SwitchingAPathOffDropsOnlyASessionOnThatPath) {
  SettingsRig r;
  auto lan = r.admittedSession("ipad-1", "192.168.1.9:5000");
  r.controller->setAllowVPN(false);
  EXPECT_EQ(r.controller->session(), lan) << "a LAN session stays when the VPN goes";
  EXPECT_EQ(r.rig.settings.getBool("tl.allowVPN"), false);
  r.controller->setAllowVPN(true);

  auto vpn = r.admittedSession("ipad-2", "100.101.102.103:5000");
  r.rig.companions.clear();
  r.rig.seamCalls.clear();
  r.controller->setAllowVPN(false);
  EXPECT_EQ(r.controller->session(), nullptr) << "the session is gone at once, before its close";
  EXPECT_FALSE(r.controller->clientConnected.get());
  EXPECT_TRUE(r.logged("🚫 zrywam sesję (tor vpn wyłączony) — klient wróci przez inny dozwolony tor"));
  EXPECT_FALSE(vpn->called("close"));
  r.settle();
  EXPECT_TRUE(vpn->called("close"));
  EXPECT_FALSE(vpn->called("bye"));
  EXPECT_EQ(r.rig.seamCalls.front(), "clip stop");
  EXPECT_NE(std::find(r.rig.companions.begin(), r.rig.companions.end(), "display may sleep"), r.rig.companions.end());
}

TEST(Reachability, SwitchingNATOffWithdrawsTheEndpointAndCutsOnlyARouterSession) {
  struct Row {
    const char* peer;
    bool cut;
  };
  for (Row row : {Row{"203.0.113.9:5000", true}, Row{"192.168.1.9:5000", false},
                  Row{"100.101.102.103:5000", false}, Row{"relay/abc", false}}) {
    SCOPED_TRACE(row.peer);
    SettingsRig r;
    auto session = r.admittedSession("ipad-1", row.peer);
    r.controller->publicEndpoint.set("198.51.100.1:47700");
    r.controller->mappedVia.set("UPnP");
    r.rig.trace.clear();
    r.controller->setAllowNAT(false);
    EXPECT_EQ(r.rig.trace, (Trace{"relay endpoint -"}));
    EXPECT_EQ(r.controller->publicEndpoint.get(), std::nullopt);
    EXPECT_EQ(r.controller->mappedVia.get(), std::nullopt);
    EXPECT_EQ(r.controller->session() == nullptr, row.cut);
    EXPECT_EQ(r.logged(std::string("🚫 zrywam trwającą sesję po NAT (") + row.peer +
                       ") — klient wróci przez LAN albo przekaźnik"),
              row.cut);
  }
}

TEST(Reachability, LANRelayAndForcedPathSwitches) {
  SettingsRig r;
  r.rig.trace.clear();
  r.controller->setAllowLAN(false);
  EXPECT_EQ(r.rig.trace, (Trace{"bonjour stop"}));
  r.controller->setAllowLAN(true);
  ASSERT_EQ(r.rig.trace.size(), 2u);
  EXPECT_EQ(r.rig.trace[1].rfind("bonjour 47700", 0), 0u);

  r.rig.trace.clear();
  r.controller->setAllowRelay(false);
  EXPECT_EQ(r.rig.trace, (Trace{"relay link", "relay data 0"}));
  EXPECT_EQ(r.rig.settings.getBool("tl.allowRelay"), false);

  auto session = r.admittedSession("ipad-1");
  for (auto [path, code] : {std::pair{"relay", 3}, {"vpn", 4}, {"lan", 1}, {"nat", 2}, {"auto", 0}, {"bogus", 0}}) {
    r.controller->setClientForcePath(path);
    EXPECT_EQ(r.controller->clientForcePathCode(), code) << path;
    EXPECT_EQ(session->calls.back(), "force path " + std::to_string(code)) << path;
  }
  EXPECT_EQ(r.rig.settings.getString("tl.clientForcePath"), "bogus");
}

}  // namespace
}  // namespace tavlo
