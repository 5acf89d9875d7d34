#include "host/desktop/text_focus_watcher.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/focus/fake_focus_source.hpp"
#include "tests/testkit/release_latch.hpp"

namespace tavlo {
namespace {

using FocusInfo = TextFocusWatcher::FocusInfo;

constexpr int32_t kEditor = 42;
constexpr int32_t kBrowser = 77;
constexpr ScreenRect kFieldFrame{100, 200, 300, 24};
const FocusElementKind kTextField{FocusRole::textField, false, true, true};
const FocusElementKind kPasswordField{FocusRole::textField, true, true, true};
const FocusElementKind kButton{};

class TextFocusWatcherTest : public ::testing::Test {
 protected:
  TextFocusWatcherTest() {
    source.setFrontmost(kEditor);
    source.setFocused(field);
    watcher->setOnChange([this](const FocusInfo& info) { reports.push_back(info); });
  }

  // Moves the clock a millisecond at a time and lets the main executor finish what each step handed it.
  void advanceMs(int ms) {
    for (int i = 0; i < ms; ++i) {
      scheduler.advanceBy(1000);
      drain();
    }
  }
  void drain() { main.sync([] {}); }
  void startAndSettle() {
    watcher->start();
    advanceMs(200);
  }
  // Both return before their step ran: the tests that count milliseconds from the call let it run first.
  void startNow() {
    watcher->start();
    drain();
  }
  void setPollingNow(bool on) {
    watcher->setPollingEnabled(on);
    drain();
  }
  void notifyFocusMoved(int32_t pid = kEditor) {
    source.notify(pid, FocusNotification::focusedElementChanged);
    drain();
  }

  FakeClock clock;
  ManualScheduler scheduler{clock};
  SerialExecutor main{"main"};
  FakeFocusSource source;
  std::shared_ptr<FakeFocusElement> field = std::make_shared<FakeFocusElement>(kTextField, kFieldFrame);
  std::vector<FocusInfo> reports;  // written on the main executor, read after drain()
  std::vector<std::string> systemLog;
  std::shared_ptr<TextFocusWatcher> watcher =
      TextFocusWatcher::create(source, scheduler, main, [this](const std::string& line) { systemLog.push_back(line); });
};

TEST_F(TextFocusWatcherTest, StartWithoutAccessibilityLogsAndASecondStartAfterTheGrantWatches) {
  source.setTrusted(false);
  startAndSettle();
  EXPECT_EQ(systemLog, std::vector<std::string>{
                           "Tavlo: TextFocusWatcher — brak trustu Accessibility (klawiatura ekranowa nieaktywna)"});
  EXPECT_EQ(source.observersCreated(), 0);
  EXPECT_TRUE(reports.empty());

  source.setTrusted(true);
  startAndSettle();
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kEditor});
  EXPECT_EQ(source.messagingTimeoutUs(), 250'000u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (FocusInfo{true, false, kFieldFrame}));

  startAndSettle();  // effective once
  EXPECT_EQ(source.observersCreated(), 1);
  EXPECT_EQ(systemLog.size(), 1u);
}

TEST_F(TextFocusWatcherTest, TenNotificationsWithin50MsGiveOneEvaluation100MsAfterTheLast) {
  startAndSettle();
  const int before = source.focusedElementReads();
  for (int i = 0; i < 10; ++i) {
    notifyFocusMoved();
    advanceMs(5);
  }
  advanceMs(94);  // the last notice came 99 ms ago
  EXPECT_EQ(source.focusedElementReads(), before);
  advanceMs(1);
  EXPECT_EQ(source.focusedElementReads(), before + 1);
  advanceMs(1000);
  EXPECT_EQ(source.focusedElementReads(), before + 1);
}

TEST_F(TextFocusWatcherTest, UnchangedFocusGivesNoFurtherReportWhileAChangeDoes) {
  startAndSettle();
  setPollingNow(true);
  for (int i = 0; i < 5; ++i) {
    notifyFocusMoved();
    advanceMs(200);
  }
  EXPECT_GE(source.focusedElementReads(), 8);  // five notices and three polls
  EXPECT_EQ(reports.size(), 1u);

  field->setFrame(ScreenRect{100, 260, 300, 24});
  advanceMs(400);  // the poll sees it
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].frame, (ScreenRect{100, 260, 300, 24}));
}

TEST_F(TextFocusWatcherTest, FramesThatAreTooTallOrTooHighOrEmptyAreLeftOut) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    const char* why;
    std::optional<ScreenRect> frame;
    bool kept;
  };
  const Row rows[] = {
      {"a field", ScreenRect{10, 20, 200, 30}, true},
      {"the tallest kept", ScreenRect{10, 20, 200, 2500}, true},
      {"taller than a field can be", ScreenRect{10, 20, 200, 2501}, false},
      {"the highest top kept", ScreenRect{10, -100, 200, 30}, true},
      {"starting too far above the main display", ScreenRect{10, -100.5, 200, 30}, false},
      {"no width", ScreenRect{10, 20, 0, 30}, false},
      {"no height", ScreenRect{10, 20, 200, 0}, false},
      {"a coordinate that is not a number", ScreenRect{nan, 20, 200, 30}, false},
      {"position or size unreadable", std::nullopt, false},
  };
  startAndSettle();
  for (const Row& row : rows) {
    field->setFrame(row.frame);
    notifyFocusMoved();
    advanceMs(100);
    ASSERT_FALSE(reports.empty()) << row.why;
    EXPECT_TRUE(reports.back().isText) << row.why;
    EXPECT_EQ(reports.back().frame, row.kept ? row.frame : std::nullopt) << row.why;
  }
}

TEST_F(TextFocusWatcherTest, ClassifiesByRoleSecurityAndEditableText) {
  struct Row {
    const char* why;
    FocusElementKind kind;
    bool isText;
    bool isSecure;
  };
  const Row rows[] = {
      {"password field", kPasswordField, true, true},
      {"text field of the same size at the same place", kTextField, true, false},
      {"button", kButton, false, false},
      {"text area", {FocusRole::textArea, false, false, false}, true, false},
      {"editable combo box", {FocusRole::comboBox, false, false, false}, true, false},
      {"search field", {FocusRole::searchField, false, false, false}, true, false},
      {"editable text of another role", {FocusRole::other, false, true, true}, true, false},
      {"editable without a text selection", {FocusRole::other, false, true, false}, false, false},
      {"a text selection that cannot be edited", {FocusRole::other, false, false, true}, false, false},
  };
  startAndSettle();
  for (const Row& row : rows) {
    // From a button each time, so that every text row is a change that must be reported.
    for (const FocusElementKind& kind : {kButton, row.kind}) {
      field->setKind(kind);
      notifyFocusMoved();
      advanceMs(100);
    }
    const FocusInfo expected{row.isText, row.isSecure, row.isText ? std::optional(kFieldFrame) : std::nullopt};
    EXPECT_EQ(reports.back(), expected) << row.why;
  }
}

TEST_F(TextFocusWatcherTest, FallsBackToTheObservedApplicationsFocusWhenTheDesktopWideReadFails) {
  source.setFocused(nullptr);
  source.setFocusedOf(kEditor, std::make_shared<FakeFocusElement>(kPasswordField, kFieldFrame));
  startAndSettle();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (FocusInfo{true, true, kFieldFrame}));
}

TEST_F(TextFocusWatcherTest, AnApplicationNotReadyIsTriedAgainThreeTimesAt300600And900Ms) {
  source.refuseRegistrations(kEditor, FocusRegistration::cannotComplete, 10);
  startNow();
  const std::pair<int, int> expectedAttaches[] = {{299, 1}, {1, 2}, {599, 2}, {1, 3}, {899, 3}, {1, 4}, {5000, 4}};
  for (const auto& [ms, attaches] : expectedAttaches) {
    advanceMs(ms);
    EXPECT_EQ(source.observersCreated(), attaches);
  }
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kEditor});
}

TEST_F(TextFocusWatcherTest, RetriesStopOnceTheApplicationIsReadyOrAnotherOneIsObserved) {
  source.refuseRegistrations(kEditor, FocusRegistration::cannotComplete, 1);
  startNow();
  advanceMs(5000);
  EXPECT_EQ(source.observersCreated(), 2);

  source.refuseRegistrations(kBrowser, FocusRegistration::cannotComplete, 10);
  source.activate(kBrowser);
  drain();
  advanceMs(100);
  source.activate(kEditor);  // the browser's retry finds another application observed
  drain();
  advanceMs(5000);
  EXPECT_EQ(source.observersCreated(), 4);
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kEditor});
}

TEST_F(TextFocusWatcherTest, FollowsActivationAndReattachesToTheFrontmostWhenTheObservedOneQuits) {
  source.setObserverCreationFails(kEditor, true);
  startAndSettle();
  EXPECT_TRUE(source.observedPids().empty());

  source.activate(kBrowser);
  drain();
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kBrowser});
  source.notify(kEditor, FocusNotification::focusedElementChanged);  // not observed: no evaluation
  drain();
  const int reads = source.focusedElementReads();
  advanceMs(200);
  EXPECT_EQ(source.focusedElementReads(), reads + 1);  // only the one the attachment scheduled

  source.setObserverCreationFails(kEditor, false);
  source.setFrontmost(kEditor);
  source.terminate(kEditor);  // not the observed one: nothing changes
  drain();
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kBrowser});
  source.setFrontmost(kEditor);
  source.terminate(kBrowser);
  drain();
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kEditor});
}

TEST_F(TextFocusWatcherTest, TheFocusedFieldIsWatchedOnceAndItsDestructionTriggersAnEvaluation) {
  startAndSettle();
  notifyFocusMoved();
  advanceMs(200);
  EXPECT_EQ(source.destructionWatchers(field), 1);

  source.setFocused(std::make_shared<FakeFocusElement>(kButton));
  source.destroy(field);
  drain();
  advanceMs(100);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1], FocusInfo{});
}

TEST_F(TextFocusWatcherTest, PollingEvaluatesAt300MsThenEvery350MsUntilTurnedOff) {
  startAndSettle();
  const int reads = source.focusedElementReads();
  setPollingNow(true);
  advanceMs(299);
  EXPECT_EQ(source.focusedElementReads(), reads);
  advanceMs(1);
  EXPECT_EQ(source.focusedElementReads(), reads + 1);
  advanceMs(700);
  EXPECT_EQ(source.focusedElementReads(), reads + 3);
  setPollingNow(false);
  advanceMs(2000);
  EXPECT_EQ(source.focusedElementReads(), reads + 3);
}

TEST_F(TextFocusWatcherTest, StartingAndPollingReturnAtOnceWhileTheWatchersQueueWaitsForAnApplication) {
  // An accessibility call in progress on the watcher's queue, waiting for an application that does
  // not answer.
  testkit::ReleaseLatch application;
  bool heldTooLong = false;
  main.post([&] { heldTooLong = !application.hold(); });
  ASSERT_TRUE(application.waitForEntered());
  watcher->start();
  watcher->setPollingEnabled(true);
  watcher->setPollingEnabled(false);
  EXPECT_EQ(source.observersCreated(), 0) << "queued behind the call in progress";
  application.release();
  drain();
  EXPECT_FALSE(heldTooLong);
  EXPECT_EQ(source.observedPids(), std::vector<int32_t>{kEditor});
  const int reads = source.focusedElementReads();
  advanceMs(2000);
  EXPECT_EQ(source.focusedElementReads(), reads + 1) << "the attachment's evaluation only: polling ended off";
}

}  // namespace
}  // namespace tavlo
