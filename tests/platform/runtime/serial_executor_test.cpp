#include "platform/runtime/serial_executor.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace tavlo {
namespace {

TEST(SerialExecutor, RunsJobsInPostOrderFromManyThreads) {
  SerialExecutor executor("vela.test");
  std::vector<std::pair<int, int>> ran;  // (poster, sequence)
  std::vector<std::thread> posters;
  for (int p = 0; p < 4; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < 500; ++i) executor.post([&, p, i] { ran.emplace_back(p, i); });
    });
  }
  for (auto& t : posters) t.join();
  executor.sync([] {});
  ASSERT_EQ(ran.size(), 2000u);
  std::vector<int> last(4, -1);
  for (auto [p, i] : ran) {
    EXPECT_EQ(i, last[p] + 1) << "each poster's jobs run in the order posted";
    last[p] = i;
  }
}

TEST(SerialExecutor, SyncFromTheWorkerRunsInPlace) {
  SerialExecutor executor("vela.test");
  bool inner = false;
  executor.sync([&] {
    EXPECT_TRUE(executor.isCurrent());
    executor.sync([&] { inner = true; });
  });
  EXPECT_TRUE(inner);
  EXPECT_FALSE(executor.isCurrent());
}

TEST(SerialExecutor, ShutdownRunsQueuedJobsThenRefusesNewOnes) {
  SerialExecutor executor("vela.test");
  int ran = 0;
  for (int i = 0; i < 100; ++i) executor.post([&] { ++ran; });
  executor.shutdown();
  EXPECT_EQ(ran, 100);
  EXPECT_FALSE(executor.post([&] { ++ran; }));
  EXPECT_FALSE(executor.sync([&] { ++ran; }));
  EXPECT_EQ(ran, 100);
}

TEST(SerialExecutor, WorkerThreadCarriesTheLabel) {
  SerialExecutor executor("tl.clipboard.pace");
  char name[16] = {};
  executor.sync([&] { pthread_getname_np(pthread_self(), name, sizeof name); });
  EXPECT_STREQ(name, "tl.clipboard.pa");
}

TEST(SerialExecutor, CanBeDestroyedFromOneOfItsOwnJobs) {
  auto executor = std::make_shared<SerialExecutor>("vela.test");
  std::promise<void> gate, later;
  executor->post([opened = gate.get_future().share()] { opened.wait(); });
  executor->post([&executor] { executor.reset(); });
  // Queued behind the destroying job: the detached worker still runs it.
  executor->post([&later] { later.set_value(); });
  gate.set_value();
  later.get_future().wait();
  EXPECT_EQ(executor, nullptr);
}

// The end of a program waits for a worker within a limit: a job that never ends holds it that long only.
TEST(SerialExecutor, DrainWithinGivesUpOnAJobThatDoesNotEndAndSeesOneThatDid) {
  SerialExecutor executor("vela.test");
  std::promise<void> gate;
  bool later = false;
  executor.post([opened = gate.get_future().share()] { opened.wait(); });
  executor.post([&later] { later = true; });
  EXPECT_FALSE(executor.drainWithin(std::chrono::milliseconds(10)));
  gate.set_value();
  EXPECT_TRUE(executor.drainWithin(std::chrono::seconds(10)));
  EXPECT_TRUE(later) << "the jobs queued before the call ran first";
  executor.shutdown();
  EXPECT_TRUE(executor.drainWithin(std::chrono::milliseconds(0))) << "nothing can be queued any more";
}

}  // namespace
}  // namespace tavlo
