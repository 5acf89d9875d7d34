// The shared virtual display across a change of client: another device taking over, and the same device
// reconnecting at once. The displaced session is still ending while the new session's hello runs, and
// either may reach the display gate first; both ways round the new session must stream from a live
// display that is main, with the physical displays off, and a displaced session's display work must
// leave that display alone.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::SecondSession;
using testkit::SessionRig;

constexpr uint64_t gatePollUs = 100'000;

ClientHello helloFrom(const std::string& deviceId, uint16_t windowPxW, uint16_t windowPxH) {
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.deviceName = "Studio";
  hello.deviceId = deviceId;
  hello.windowPxW = windowPxW;
  hello.windowPxH = windowPxH;
  hello.userInitiated = true;
  return hello;
}

enum class Change { takeoverByAnotherDevice, sameDeviceReconnect };
enum class First { oldTeardown, newHello };

// How the old session ends. A takeover: the owner admits the new device and displaces the old session
// (goodbye, transport cancelled, closed). A quick reconnect: the old connection says goodbye and drops,
// and the same device dials again.
void endOldSession(Change change, SessionRig& rig) {
  if (change == Change::takeoverByAnotherDevice) {
    rig.session->sendBye();
    rig.session->cancelTransportNow();
    rig.session->close();
  } else {
    rig.client.send(Bye{});
    rig.pair.client->close();
  }
}

TEST(HostSessionTakeoverDisplay, TheNewSessionStreamsFromALiveMainDisplayWithPhysicalDisplaysOffEitherWayRound) {
  struct Row { const char* why; Change change; First first; };
  for (const Row& row : {
           Row{"another device takes over; the displaced teardown holds the gate when the hello gets there",
               Change::takeoverByAnotherDevice, First::oldTeardown},
           Row{"another device takes over; the displaced teardown comes after the hello's display step",
               Change::takeoverByAnotherDevice, First::newHello},
           Row{"the same device reconnects; the old teardown holds the gate when the new hello gets there",
               Change::sameDeviceReconnect, First::oldTeardown},
           Row{"the same device reconnects before its old connection's end was noticed",
               Change::sameDeviceReconnect, First::newHello}}) {
    SCOPED_TRACE(row.why);
    SessionRig rig;
    rig.started();
    auto oldEnded = std::make_shared<std::atomic<int>>(0);
    rig.session->updateCallbacks([oldEnded](SessionCallbacks& c) { c.onDisconnect = [oldEnded] { ++*oldEnded; }; });
    rig.client.send(helloFrom("ipad-one", 1280, 720));
    ASSERT_TRUE(rig.client.roundTrip());
    ASSERT_TRUE(rig.display->isMain() && rig.display->isolated());

    SecondSession next(rig);
    const bool takeover = row.change == Change::takeoverByAnotherDevice;
    const std::string nextDevice = takeover ? "ipad-two" : "ipad-one";

    // Holds the old teardown inside the gate (at its restore) until the new hello waits for the gate.
    auto atGate = std::make_shared<std::atomic<bool>>(false);
    if (row.first == First::oldTeardown) {
      rig.display->setBeforeCall([atGate, &rig](const std::string& call) {
        if (call != "restorePhysicalDisplays" || atGate->exchange(true)) return;
        EXPECT_TRUE(eventually([&] { return rig.clock().waiterCount() >= 1; })) << "the new hello never waited";
      });
    }
    std::shared_ptr<HostSession> old = rig.session;
    next.session->updateCallbacks([&, takeover, old](SessionCallbacks& c) {
      c.takeoverGate = [&, takeover, old](const std::string&, bool) {
        if (takeover) {
          if (row.first == First::oldTeardown) {
            endOldSession(row.change, rig);
            EXPECT_TRUE(eventually([&] { return atGate->load(); }));
          } else {
            old->sendBye();  // its transport is cut and it closes only after the new display step
          }
        }
        return true;
      };
    });
    next.session->start();

    if (row.first == First::oldTeardown) {
      if (!takeover) {
        endOldSession(row.change, rig);
        ASSERT_TRUE(eventually([&] { return atGate->load(); }));
      }
      next.client.send(helloFrom(nextDevice, 1180, 820));
      ASSERT_TRUE(eventually([&] { return oldEnded->load() == 1; }));
      rig.clock().advanceUs(gatePollUs);  // the hello's next look at the gate finds it free
      ASSERT_TRUE(next.client.roundTrip());
    } else {
      next.client.send(helloFrom(nextDevice, 1180, 820));
      ASSERT_TRUE(next.client.roundTrip());
      ASSERT_TRUE(next.provided());
      if (takeover) {
        old->cancelTransportNow();
        old->close();
      } else {
        endOldSession(row.change, rig);
      }
      ASSERT_TRUE(eventually([&] { return oldEnded->load() == 1; }));
      EXPECT_EQ(rig.log.count("🖥️ teardown: ekran przejęła nowsza sesja — zostawiam go bez zmian"), 1u);
    }
    rig.display->setBeforeCall(nullptr);

    auto provided = next.provided();
    ASSERT_TRUE(provided) << "the new hello was accepted";
    EXPECT_TRUE(rig.display->isActive()) << "the display is live";
    EXPECT_EQ(rig.display->displayID(), provided->displayID) << "and it is the one the new session streams";
    EXPECT_TRUE(rig.display->isMain());
    EXPECT_TRUE(rig.display->isolated()) << "the physical displays stay off";
    EXPECT_EQ(rig.display->mode(), (std::pair<int64_t, int64_t>{1180, 820}));
  }
}

TEST(HostSessionTakeoverDisplay, ADisplacedSessionsDisplayWorkLeavesTheNewSessionsDisplayAlone) {
  SessionRig rig;
  rig.started();
  rig.client.send(helloFrom("ipad-one", 1280, 720));
  ASSERT_TRUE(rig.client.roundTrip());
  SecondSession next(rig);
  next.session->start();
  next.client.send(helloFrom("ipad-two", 1180, 820));
  ASSERT_TRUE(next.client.roundTrip());
  const uint32_t displayID = rig.display->displayID();

  // The displaced client's last resize arrives before its goodbye has been read.
  rig.session->setScale(1.5);
  rig.scheduler().advanceBy(2'000'000);
  EXPECT_TRUE(rig.log.waitFor("⚠️ ensureDisplayMode: ekran przejęła nowsza sesja — pomijam operację ekranową"));
  EXPECT_EQ(rig.display->displayID(), displayID);
  EXPECT_EQ(rig.display->mode(), (std::pair<int64_t, int64_t>{1180, 820}));

  // Its own end, after the new session's, still finds the display claimed and leaves it.
  rig.client.send(Bye{});
  rig.pair.client->close();
  EXPECT_TRUE(rig.log.waitFor("🖥️ teardown: ekran przejęła nowsza sesja — zostawiam go bez zmian"));
  EXPECT_TRUE(rig.display->isActive() && rig.display->isMain() && rig.display->isolated());
}

}  // namespace
}  // namespace vela
