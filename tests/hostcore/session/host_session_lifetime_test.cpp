// Construction, the end of a session, and its lifetime across threads: a session dropped on any thread
// goes without a deadlock and leaves no loop behind; callbacks replaced while the loop calls them.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "hostcore/session/session_threads.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::eventually;
using testkit::SessionRig;

TEST(HostSessionConstruction, ReadsThePathAndClampsTheOwnersSettingsAndStartsNothing) {
  struct Row { const char* description; bool relayed; bool lan; };
  for (Row row : {Row{"ReLaY/host-7", true, false}, Row{"192.168.1.9:50000", false, true},
                  Row{"203.0.113.5:9/relay/", false, false}}) {
    SessionRig rig;
    auto transport = std::make_shared<testkit::MemorySessionTransport>(
        testkit::MemorySessionTransport::Options{defaultMaxDatagramSize, row.description, false});
    SessionConfig config = rig.config();
    config.transport = transport;
    config.targetFps = 0;
    config.initialScale = 3.0;
    config.keyframeAdaptive = true;
    config.keyframeFixedSec = 0.05;
    rig.make(std::move(config));
    rig.probe([&](SessionState& s) {
      EXPECT_EQ(s.path.relayedSession, row.relayed) << row.description;
      EXPECT_EQ(s.path.lanSession, row.lan) << row.description;
      EXPECT_EQ(s.geometry.targetFps, 24) << "0 would drop every frame";
      EXPECT_EQ(s.geometry.scaleS, 2.0);
      EXPECT_EQ(s.keyframes.kfFixedSec, 0.1);
      EXPECT_EQ(s.keyframes.kfController.growCeilSec(), 0.5);
      EXPECT_LE(s.keyframes.kfController.intervalSec(), 0.5);
      EXPECT_GE(s.media.clipCounter, 1u);
      EXPECT_LT(s.media.clipCounter, uint64_t{1} << 62);
    });
    EXPECT_EQ(rig.session->peerDescription(), row.description);
    EXPECT_EQ(liveSessionThreads(), 0);
    EXPECT_EQ(rig.scheduler().pendingCount(), 0u);
    EXPECT_EQ(transport->memoryReliable(Channel::control).sent().size(), 0u);
    rig.session.reset();
    EXPECT_TRUE(transport->isClosed()) << "a session closes the transport it never handed on";
  }
}

TEST(HostSessionLifetime, AnEndedStreamTearsTheSessionDownOnce) {
  SessionRig rig;
  std::atomic<int> disconnects{0};
  rig.make();
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onDisconnect = [&] { ++disconnects; }; });
  rig.session->start();
  ASSERT_TRUE(rig.hello());
  rig.pair.client->close();
  ASSERT_TRUE(eventually([&] { return disconnects == 1; }));
  EXPECT_EQ(rig.log.count("klient rozłączony — sprzątanie"), 1u);
  rig.session->cancelTransportNow();
  rig.session->close();
  EXPECT_EQ(rig.pair.host->closeCount(), 1) << "the session cancels its transport once";
  EXPECT_EQ(disconnects, 1);
}

// Holds the owner's reference until one thread or another lets it go.
class Owner {
 public:
  void hold(std::shared_ptr<HostSession> session) {
    std::lock_guard guard(mutex_);
    session_ = std::move(session);
  }
  void drop() {
    std::shared_ptr<HostSession> last;
    std::lock_guard guard(mutex_);
    last = std::move(session_);
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<HostSession> session_;
};

TEST(HostSessionLifetime, ASessionDroppedOnAnyThreadGoesAndItsLoopEnds) {
  enum class Where { ownerThreadAfterHello, ownLoopInACallback, timerThreadAfterTheWatchdog };
  for (Where where : {Where::ownerThreadAfterHello, Where::ownLoopInACallback, Where::timerThreadAfterTheWatchdog}) {
    SCOPED_TRACE(static_cast<int>(where));
    SessionRig rig;
    auto owner = std::make_shared<Owner>();
    std::weak_ptr<HostSession> weak;
    {
      auto session = rig.make();
      rig.session.reset();
      weak = session;
      owner->hold(session);
      session->updateCallbacks([owner](SessionCallbacks& c) { c.onLoginReceived = [owner] { owner->drop(); }; });
      session->start();
    }
    switch (where) {
      case Where::ownerThreadAfterHello:
        ASSERT_TRUE(rig.hello());
        owner->drop();  // after the hello the loop holds the session only while it handles a packet
        break;
      case Where::ownLoopInACallback:
        ASSERT_TRUE(rig.hello());
        rig.client.send(LoginRequest{"x"});
        break;
      case Where::timerThreadAfterTheWatchdog: {
        owner->drop();
        EXPECT_FALSE(weak.expired()) << "before its hello the loop keeps a session alive";
        std::thread timer([&] { rig.scheduler().advanceBy(HostSession::helloTimeoutUs); });
        timer.join();
        break;
      }
    }
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
    EXPECT_TRUE(eventually([] { return liveSessionThreads() == 0; }));
    EXPECT_TRUE(rig.pair.host->isClosed());
  }
}

TEST(HostSessionLifetime, CallbacksReplacedWhileTheLoopCallsThemAreNeverTorn) {
  SessionRig rig;
  rig.make()->start();
  std::atomic<int> lines{0};
  std::atomic<bool> stop{false};
  auto replace = [&](int generation) {
    rig.session->updateCallbacks([&lines, generation](SessionCallbacks& c) {
      c.onLog = [&lines, generation](const std::string& line) {
        if (line.rfind("📱", 0) == 0 && generation >= 0) ++lines;
      };
    });
  };
  replace(0);
  std::thread replacer([&] {
    for (int generation = 1; !stop; ++generation) {
      replace(generation);
      std::this_thread::yield();
    }
  });
  constexpr int messages = 200;
  for (int i = 0; i < messages; ++i) rig.client.send(ClientLogMessage{"linia"});
  ASSERT_TRUE(rig.client.roundTrip());
  stop = true;
  replacer.join();
  EXPECT_EQ(lines, messages) << "every line reached one whole callback";
}

}  // namespace
}  // namespace vela
