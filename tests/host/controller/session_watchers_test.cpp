// The input-permission watchdog and the compositor keepalive on a manual scheduler.
#include <gtest/gtest.h>

#include "host/controller/session_watchers.hpp"

namespace tavlo {
namespace {

auto now = [](std::function<void()> job) { job(); };

TEST(InputPermissionWatchdog, WarnsOncePerLossAndSaysWhenItCameBack) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  InputAccess access = InputAccess::missing;
  bool blocked = false;
  std::vector<std::string> lines;
  auto watchdog = InputPermissionWatchdog::start({scheduler, now, [&] { return access; },
                                                  [&](bool b) { blocked = b; }, [&] { return blocked; },
                                                  [&](const std::string& l) { lines.push_back(l); }});
  EXPECT_TRUE(blocked) << "checked at once";
  scheduler.advanceBy(12'000'000);
  ASSERT_EQ(lines.size(), 1u) << "warned once";
  EXPECT_NE(lines[0].find("⚠️ BRAK uprawnienia XTEST"), std::string::npos);
  access = InputAccess::granted;
  scheduler.advanceBy(5'000'000);
  EXPECT_FALSE(blocked);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("przywrócone — wstrzykiwanie znów działa"), std::string::npos);
  access = InputAccess::missing;
  scheduler.advanceBy(5'000'000);
  EXPECT_EQ(lines.size(), 3u) << "a later loss warns again";
  watchdog.reset();
  scheduler.advanceBy(20'000'000);
  EXPECT_EQ(lines.size(), 3u);
}

// A server that went away is no missing permission: it is said once, and the dead connection is not
// asked again.
TEST(InputPermissionWatchdog, AServerThatWentAwayIsReportedOnceAsGone) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  InputAccess access = InputAccess::granted;
  int asked = 0;
  bool blocked = false;
  std::vector<std::string> lines;
  auto watchdog = InputPermissionWatchdog::start({scheduler, now,
                                                  [&] {
                                                    ++asked;
                                                    return access;
                                                  },
                                                  [&](bool b) { blocked = b; }, [&] { return blocked; },
                                                  [&](const std::string& l) { lines.push_back(l); }});
  access = InputAccess::serverGone;
  scheduler.advanceBy(5'000'000);
  EXPECT_TRUE(blocked);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("serwer X zniknął"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("BRAK uprawnienia"), std::string::npos) << lines[0];
  EXPECT_EQ(asked, 2);
  scheduler.advanceBy(30'000'000);
  watchdog->check();
  EXPECT_EQ(asked, 2) << "a broken connection is not asked again";
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(scheduler.pendingCount(), 0u);
}

struct CountingWindow final : KeepaliveWindow {
  bool available = true;
  int shows = 0, hides = 0;
  bool show() override { return available && ++shows > 0; }
  void hide() override { ++hides; }
};

TEST(CompositorKeepalive, StaysWhileInputComesAndHidesAfterThreeSecondsOfSilence) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  CountingWindow window;
  std::vector<std::string> lines;
  auto keepalive = CompositorKeepalive::create(window, scheduler, now, [&](const std::string& l) { lines.push_back(l); });
  for (int i = 0; i < 10; ++i) {
    keepalive->noteInputActivity();
    scheduler.advanceBy(1'000'000);
  }
  EXPECT_TRUE(keepalive->active());
  EXPECT_EQ(window.shows, 1);
  EXPECT_EQ(window.hides, 0);
  scheduler.advanceBy(2'100'000);
  EXPECT_FALSE(keepalive->active());
  EXPECT_EQ(window.hides, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"🫀 keepalive kompozytora ON (aktywne wejście)",
                                             "🫀 keepalive kompozytora OFF (cisza wejścia)"}));
  window.available = false;  // no virtual display: nothing happens
  keepalive->noteInputActivity();
  EXPECT_FALSE(keepalive->active());
}

TEST(CompositorKeepalive, ABurstOfInputKeepsOneTimerAndTheSilenceCountsFromTheLastInput) {
  FakeClock clock;
  ManualScheduler scheduler(clock);
  CountingWindow window;
  auto keepalive = CompositorKeepalive::create(window, scheduler, now, [](const std::string&) {});
  for (int i = 0; i < 1000; ++i) keepalive->noteInputActivity();
  EXPECT_EQ(scheduler.pendingCount(), 1u);
  scheduler.advanceBy(2'900'000);
  keepalive->noteInputActivity();  // 0.1 s before the first timer fires
  scheduler.advanceBy(2'800'000);
  EXPECT_TRUE(keepalive->active()) << "2.8 s after the last input";
  EXPECT_EQ(scheduler.pendingCount(), 1u);
  scheduler.advanceBy(300'000);
  EXPECT_FALSE(keepalive->active());
  EXPECT_EQ(window.hides, 1);
  EXPECT_EQ(scheduler.pendingCount(), 0u);
}

}  // namespace
}  // namespace tavlo
