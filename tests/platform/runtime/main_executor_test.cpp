#include "platform/runtime/main_executor.hpp"

#include <gtest/gtest.h>

#include <functional>

#include <csignal>
#include <future>
#include <thread>
#include <vector>

#include "platform/runtime/signal_watcher.hpp"

namespace tavlo {
namespace {

TEST(MainExecutor, RunsPostedJobsOnTheDrivingThreadUntilQuit) {
  MainExecutor main;
  std::vector<int> ran;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) main.post([&ran, i] { ran.push_back(i); });
    main.post([&] { main.quit(7); });
  });
  EXPECT_EQ(main.run(), 7);
  poster.join();
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], i);
  EXPECT_EQ(main.quitStatus(), 7);
}

TEST(MainExecutor, RunUntilIdleRunsWhatJobsPostAndStopsAtQuit) {
  MainExecutor main;
  int ran = 0;
  main.post([&] {
    ++ran;
    EXPECT_TRUE(main.isCurrent());
    main.post([&] { ++ran; });
  });
  EXPECT_EQ(main.runUntilIdle(), 2u);
  EXPECT_FALSE(main.isCurrent());

  main.post([&] { main.quit(1); });
  main.post([&] { ++ran; });
  main.runUntilIdle();
  EXPECT_EQ(ran, 2) << "nothing runs after quit";
  EXPECT_EQ(main.run(), 1) << "run returns at once once quit was called";
}

// An event loop's turn runs a bounded batch, even of jobs that keep posting more.
TEST(MainExecutor, RunQueuedRunsAtMostTheBatchAndSaysWhatIsLeft) {
  MainExecutor main;
  int ran = 0;
  std::function<void()> again = [&] {
    ++ran;
    main.post(again);
  };
  main.post(again);
  EXPECT_EQ(main.runQueued(5), 5u);
  EXPECT_EQ(ran, 5);
  EXPECT_TRUE(main.hasQueuedJobs());
  main.quit(0);
  EXPECT_FALSE(main.hasQueuedJobs()) << "nothing is left to run after quit";
}

TEST(MainExecutor, ClosingDropsQueuedJobsAndRefusesNewOnes) {
  MainExecutor main;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  main.post([token] {});
  token.reset();
  main.close();
  EXPECT_TRUE(watch.expired()) << "a dropped job's captures are released";
  EXPECT_FALSE(main.post([] {}));
}

TEST(SignalWatcher, DeliversASignalAsACallOnItsThreadAndRestoresTheDisposition) {
  MainExecutor main;
  struct sigaction before{};
  ::sigaction(SIGUSR1, nullptr, &before);
  {
    SignalWatcher watcher({SIGUSR1}, [&](int signal) { main.post([&main, signal] { main.quit(signal); }); });
    EXPECT_THROW(SignalWatcher({SIGUSR2}, [](int) {}), std::logic_error) << "one watcher per process";
    ::raise(SIGUSR1);
    EXPECT_EQ(main.run(), SIGUSR1);
  }
  struct sigaction after{};
  ::sigaction(SIGUSR1, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace tavlo
