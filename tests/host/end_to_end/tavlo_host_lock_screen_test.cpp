// The built tavlo-host on a private dummy Xorg with a desktop session of the test's own: a logind and a
// screen saver on private buses, and a screen locker on the X server. A host started on a locked screen
// tells the admitted client so; the client's password is typed into the locker through XTEST; a wrong
// one is reported after the 3 s verification, the right one unlocks and the client is told. Admitting a
// client wakes the displays: the X server's screen saver, and logind's idle hint.
#include <gtest/gtest.h>
#include <xcb/screensaver.h>

#include <chrono>
#include <thread>

#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/host/end_to_end/screen_locker.hpp"
#include "tests/testkit/fake_desktop_bus.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

using endtoend::eventually;
using endtoend::linesSoFar;

constexpr auto answerWithin = endtoend::hostAnswerBound;

// A dummy Xorg, the desktop session's buses with logind (its LockedHint as given) and the screen saver,
// and the built tavlo-host on them with a client connected (no hello yet).
class TavloHostDesktopSession : public ::testing::Test {
 protected:
  void startHost(bool lockedHint) {
    ASSERT_TRUE(server.start()) << server.failureText();
    x = XcbConnection::open(server.display(), &error);
    ASSERT_NE(x, nullptr) << error;
    ASSERT_TRUE(systemBus.start(buses.path(), "system")) << systemBus.failureText();
    ASSERT_TRUE(sessionBus.start(buses.path(), "session")) << sessionBus.failureText();
    logind = std::make_unique<testkit::FakeLogind>(lockedHint);
    ASSERT_TRUE(logind->start(systemBus.address()));
    ASSERT_TRUE(saver.start(sessionBus.address()));
    std::string why;
    auto started = endtoend::startKeyedHost(home.path(), server.display(), why,
                                            {{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()},
                                             {"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()}});
    ASSERT_TRUE(started) << why;
    host = std::move(started->process);
    ASSERT_TRUE(client.connect(started->base, started->key, &error)) << error << "\n" << host->output();
  }
  // Says hello and waits for the host's answer; true when admitted. What the host sent before its hello
  // goes to `before`.
  bool admitted(std::vector<Bytes>* before = nullptr) {
    client.sendHello(1280, 720);
    auto hello = client.nextControl<vela::HostHello>(answerWithin, before);
    if (!hello || !hello->accepted) return false;
    client.setSession(hello->sessionId, hello->generation);
    client.sendKeepalive();
    return true;
  }

  testkit::XorgServer server;
  std::unique_ptr<XcbConnection> x;
  std::string error;
  testkit::TempDir buses;
  testkit::PrivateBus systemBus, sessionBus;
  std::unique_ptr<testkit::FakeLogind> logind;
  testkit::FakeScreenSaver saver;
  testkit::TempDir home;
  std::unique_ptr<HostProcess> host;
  hosttest::HostTestClient client;
};

TEST_F(TavloHostDesktopSession, TypesTheClientsPasswordIntoTheLockScreenAndReportsTheOutcome) {
  endtoend::ScreenLocker locker;
  startHost(true);
  ASSERT_FALSE(HasFatalFailure());
  // The locker clears the session's LockedHint once it unlocks, as a desktop's locker does.
  ASSERT_TRUE(locker.lock(server.display(), "tajne123", [this] { logind->setLockedHint(false); }, &error)) << error;
  ASSERT_TRUE(host->printedOrWaitFor("🔒 start przy zablokowanym ekranie — auto-HELLO odrzucane do odblokowania"))
      << host->output();

  // The client learns of the lock as it is admitted, before the host's hello.
  std::vector<Bytes> beforeHello;
  ASSERT_TRUE(admitted(&beforeHello)) << linesSoFar(*host);
  std::optional<vela::LockStateMessage> state;
  for (const Bytes& packet : beforeHello) {
    if (!state) state = hosttest::HostTestClient::decodeAs<vela::LockStateMessage>(packet);
  }
  ASSERT_TRUE(state) << linesSoFar(*host);
  EXPECT_EQ(*state, (vela::LockStateMessage{true, true})) << "locked, and armed over the encrypted transport";

  // A wrong password is typed, does not unlock, and is reported once the 3 s verification has passed.
  const auto wrongSent = std::chrono::steady_clock::now();
  client.sendControl(vela::LoginRequest{"zlehaslo"});
  state = client.nextControl<vela::LockStateMessage>(answerWithin);
  const auto waited = std::chrono::steady_clock::now() - wrongSent;
  ASSERT_TRUE(state) << linesSoFar(*host);
  EXPECT_EQ(*state, (vela::LockStateMessage{true, true}));
  EXPECT_GE(waited, 3s) << "the verification waits 3 s";
  EXPECT_EQ(locker.attempts(), std::vector<std::string>{"zlehaslo"});
  EXPECT_FALSE(locker.unlocked());
  EXPECT_TRUE(host->waitForLine("🔓❌ NIE odblokowano w 3 s — mur loginwindow albo złe hasło; BEZ retry"));

  // The right one unlocks; the desktop's report of it reaches the client.
  client.sendControl(vela::LoginRequest{"tajne123"});
  state = client.nextControl<vela::LockStateMessage>(answerWithin);
  ASSERT_TRUE(state) << linesSoFar(*host);
  EXPECT_EQ(*state, (vela::LockStateMessage{false, false}));
  EXPECT_EQ(locker.attempts(), (std::vector<std::string>{"zlehaslo", "tajne123"}));
  EXPECT_TRUE(locker.unlocked());
  EXPECT_TRUE(host->waitForLine("🔓✅ ODBLOKOWANO — hasło przeszło do loginwindow")) << host->output();
  client.sendBye();
}

// The X server's screen saver state (MIT-SCREEN-SAVER); 0xFF when it does not answer.
uint8_t screenSaverState(const XcbConnection& x) {
  xcb_connection_t* c = x.get();
  auto info = xcbOwn(xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, x.root()), nullptr));
  return info ? info->state : 0xFF;
}

// The dummy driver powers no monitors (its server offers no DPMS): the screen saver stands for the
// X side of waking the displays.
TEST_F(TavloHostDesktopSession, AdmittingAClientWakesTheDisplays) {
  startHost(false);
  ASSERT_FALSE(HasFatalFailure());
  xcb_connection_t* c = x->get();
  xcb_set_screen_saver(c, 600, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_ALLOWED);
  xcb_force_screen_saver(c, XCB_SCREEN_SAVER_ACTIVE);
  ASSERT_EQ(screenSaverState(*x), XCB_SCREENSAVER_STATE_ON);

  ASSERT_TRUE(admitted()) << linesSoFar(*host);
  EXPECT_TRUE(eventually([&] { return screenSaverState(*x) == XCB_SCREENSAVER_STATE_OFF; }, answerWithin))
      << "the screen saver still runs\n"
      << linesSoFar(*host);
  EXPECT_TRUE(eventually([&] { return logind->idleHints() == std::vector<bool>{false}; }, answerWithin))
      << "logind's idle hint is not cleared";
  client.sendBye();
}

}  // namespace
}  // namespace tavlo
