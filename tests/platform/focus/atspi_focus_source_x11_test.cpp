#include "platform/focus/atspi_focus_source.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>

#include "host/desktop/text_focus_watcher.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/platform/focus/accessible_desktop.hpp"

namespace tavlo {
namespace {

using FocusInfo = TextFocusWatcher::FocusInfo;

// Real servers answer in milliseconds; this only bounds a broken run.
constexpr auto kReportWait = std::chrono::seconds(10);

std::string describe(const FocusInfo& info) {
  std::ostringstream text;
  text << "text=" << info.isText << " secure=" << info.isSecure;
  if (info.frame) text << " frame=" << info.frame->x << "," << info.frame->y << " " << info.frame->width << "x" << info.frame->height;
  return text.str();
}

// What the watcher reported, as it arrives on the main executor.
class Reports {
 public:
  void add(const FocusInfo& info) {
    {
      std::lock_guard lock(mutex_);
      reports_.push_back(info);
    }
    changed_.notify_all();
  }
  // Waits until the latest report is `expected`; false (with what came) on time-out.
  ::testing::AssertionResult waitFor(const FocusInfo& expected) {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, kReportWait, [&] { return !reports_.empty() && reports_.back() == expected; })) {
      return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure() << "waited for " << describe(expected) << "; reports:";
    for (const auto& report : reports_) failure << "\n  " << describe(report);
    return failure;
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return reports_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<FocusInfo> reports_;
};

// The window's answer "ok X Y W H": the widget's rectangle in root pixels as GTK computes it.
ScreenRect rectIn(const std::string& answer) {
  std::istringstream words(answer);
  std::string ok;
  ScreenRect rect;
  words >> ok >> rect.x >> rect.y >> rect.width >> rect.height;
  return rect;
}

TEST(AtspiFocusSourceX11, TheWatcherFollowsTheFocusInARealGtkWindow) {
  testkit::AccessibleDesktop desktop;
  ASSERT_TRUE(desktop.startX()) << desktop.failureText();
  auto source = AtspiFocusSource::create(desktop.display());
  ThreadScheduler scheduler;
  SerialExecutor main("main");
  Reports reports;
  std::mutex logMutex;
  std::vector<std::string> systemLog;
  auto watcher = TextFocusWatcher::create(*source, scheduler, main, [&](const std::string& line) {
    std::lock_guard lock(logMutex);
    systemLog.push_back(line);
  });
  watcher->setOnChange([&](const FocusInfo& info) { reports.add(info); });

  // No session bus, so no accessibility bus: the first start only logs.
  watcher->start();
  main.sync([] {});  // start() only queued its step
  {
    std::lock_guard lock(logMutex);
    EXPECT_EQ(systemLog.size(), 1u);
  }

  ASSERT_TRUE(desktop.startSessionBus()) << desktop.failureText();
  ASSERT_TRUE(desktop.openWindow()) << desktop.failureText();
  ASSERT_EQ(desktop.command("present"), "ok") << desktop.failureText();
  const ScreenRect entry = rectIn(desktop.command("focus entry"));
  ASSERT_GT(entry.width, 0) << desktop.failureText();

  // Granted now: the second start finds the frontmost window and its focused entry without any event.
  watcher->start();
  EXPECT_TRUE(reports.waitFor({true, false, entry}));

  const ScreenRect password = rectIn(desktop.command("focus password"));
  EXPECT_TRUE(reports.waitFor({true, true, password}));
  desktop.command("focus button");
  EXPECT_TRUE(reports.waitFor({false, false, std::nullopt}));
  desktop.command("focus entry");
  EXPECT_TRUE(reports.waitFor({true, false, entry}));

  // On a HiDPI output the frame is in points; the poll notices what no event announces.
  auto x = XcbConnection::open(desktop.display());
  ASSERT_TRUE(x);
  for (const auto& output : queryOutputs(*x)) {
    if (output.enabled()) {
      ASSERT_TRUE(setOutputScale(*x, output.outputId, 2));
    }
  }
  xcb_flush(x->get());
  watcher->setPollingEnabled(true);
  EXPECT_TRUE(reports.waitFor({true, false, ScreenRect{entry.x / 2, entry.y / 2, entry.width / 2, entry.height / 2}}));

  // The observed application quits: nothing has the focus any more.
  desktop.closeWindow();
  EXPECT_TRUE(reports.waitFor({false, false, std::nullopt}));

  watcher.reset();
  source.reset();
}

}  // namespace
}  // namespace tavlo
