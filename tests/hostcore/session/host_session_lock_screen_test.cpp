// The lock screen: the password is typed only over an established end-to-end encryption; and nothing the
// session logs or calls back runs while it holds its mutex.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testkit::SessionRig;

TEST(HostSessionLockScreen, ThePasswordIsTypedOnlyOverEstablishedEncryption) {
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted);
    SessionRig rig;
    if (encrypted) rig.encrypt();
    rig.started();
    rig.client.send(LoginRequest{"hasło"});
    ASSERT_TRUE(rig.client.roundTrip());
    EXPECT_EQ(rig.log.count(std::string("🔐 otrzymano hasło (dł. 5, E2E=") + (encrypted ? "tak)" : "NIE)")), 1u);
    EXPECT_EQ(rig.session->isTransportEncrypted(), encrypted);
    EXPECT_FALSE(rig.session->attemptUnlock()) << "refused, or no injector to type with";
    EXPECT_EQ(rig.log.count("🔓 brak hasła sesji / injectora — nie próbuję odblokować"), encrypted ? 1u : 0u);

    rig.probe([&](SessionState& s) { s.engines.injector = rig.deps.injectors(); });
    EXPECT_EQ(rig.session->attemptUnlock(), encrypted);
    EXPECT_EQ(rig.log.count("🔓❌ tor nieszyfrowany — ODMAWIAM wpisania hasła"), encrypted ? 0u : 2u);
    EXPECT_EQ(rig.log.count("🔓 wpisuję hasło na ekran blokady (dł. 5) — werdykt po screenIsUnlocked"),
              encrypted ? 1u : 0u);
    EXPECT_EQ(rig.poster->events().empty(), !encrypted) << "the injector is never reached unencrypted";
  }
}

// Whether the session's mutex is free: another thread takes it (through an accessor) within the bound.
// Called under the mutex, that thread waits until the caller releases it, and the answer is false.
bool mutexIsFree(const std::weak_ptr<HostSession>& weak) {
  auto session = weak.lock();
  if (!session) return true;
  auto taken = std::make_shared<std::promise<void>>();
  auto done = taken->get_future();
  std::thread([session = std::move(session), taken] {
    session->deviceKey();
    taken->set_value();
  }).detach();
  return done.wait_for(2s) == std::future_status::ready;
}

TEST(HostSessionLockScreen, LogLinesAndCallbacksRunWithTheMutexReleased) {
  SessionRig rig;
  rig.make();
  std::weak_ptr<HostSession> weak = rig.session;
  std::atomic<int> checks{0};
  std::atomic<int> heldUnderMutex{0};
  auto check = [weak, &checks, &heldUnderMutex] {
    ++checks;
    if (!mutexIsFree(weak)) ++heldUnderMutex;
  };
  rig.session->updateCallbacks([&, check](SessionCallbacks& c) {
    c.onLog = [check, sink = rig.log.sink()](const std::string& line) {
      check();
      sink(line);
    };
    c.onLoginReceived = check;
    c.onSwitchInfo = [check](const std::string&) { check(); };
    c.onClipAnnounce = [check](auto&&...) { check(); };
  });
  rig.session->start();
  rig.client.send(LoginRequest{"x"});
  rig.client.send(IdrRequest{1, 0, IdrRequest::Reason::loss});
  rig.client.send(ClientPathMessage{ClientPathMessage::Iface::wifi, false, false});
  rig.client.send(ClientPathMessage{ClientPathMessage::Iface::wired, false, false});
  rig.client.send(SwitchInfo{"x"});
  rig.client.send(ClipAnnounce{1, "public.data", 0, "", std::nullopt});
  ASSERT_TRUE(rig.client.roundTrip());
  rig.session->sendLockState(false, true);
  rig.session->setKeyframePolicy(false, 3.0);
  rig.session->attemptUnlock();
  rig.scheduler().advanceBy(HostSession::helloTimeoutUs);  // the watchdog's line
  EXPECT_TRUE(rig.log.waitFor("⏱️ brak CLIENT_HELLO"));
  EXPECT_GE(checks, 12);
  EXPECT_EQ(heldUnderMutex, 0);
}

}  // namespace
}  // namespace vela
