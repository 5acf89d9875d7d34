#include "protocol/clipboard/clip_send_queue.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/clipboard/clip_progress.hpp"

namespace vela {
namespace {

using Step = ClipSendQueue::Step;
const auto offered = [](uint64_t) { return true; };

// How 40,000 bytes leave over the ticks is checked end to end in clipboard_transfer_test.
TEST(ClipSendQueue, QueueRules) {
  {
    ClipSendQueue queue;
    queue.enqueue(1, 100, 500);
    EXPECT_TRUE(queue.planTick(512'000, offered).empty()) << "an offset past the end sends nothing";
    EXPECT_TRUE(queue.empty());
  }
  {
    ClipSendQueue queue;
    queue.enqueue(1, 100'000, 0);
    queue.enqueue(2, 10, 0);
    queue.enqueue(1, 100'000, 99'000);
    auto steps = queue.planTick(512'000, offered);
    EXPECT_EQ(steps, (std::vector<Step>{{2, 10, 0, 10, false}, {1, 100'000, 99'000, 1'000, false}}))
        << "a repeated request restarts its item at the back of the queue from the new offset";
  }
  {
    ClipSendQueue queue;
    queue.enqueue(1, 50'000, 0);
    queue.enqueue(2, 10, 0);
    queue.enqueue(3, 10, 10);
    auto steps = queue.planTick(512'000, [](uint64_t id) { return id != 1; });
    EXPECT_EQ(steps, (std::vector<Step>{{1, 50'000, 0, 0, true}, {2, 10, 0, 10, false}}))
        << "an item no longer offered is reported withdrawn, one with nothing left owed is dropped silently";
  }
  {
    ClipSendQueue queue;
    for (int i = 0; i < 100; ++i) queue.planTick(512'000, offered);
    EXPECT_EQ(queue.tokens(), 512'000) << "an idle bucket holds at most one second's worth";
  }
}

TEST(ClipProgress, ReportsEveryStepAndAlwaysTheEnd) {
  struct Row { uint32_t total; uint32_t step; const char* why; };
  const Row rows[] = {
      {1'000'000, 65'536, "small items report every 65,536 bytes"},
      {6'553'699, 65'536, "just under the one-per-cent threshold"},
      {6'553'700, 65'537, "one per cent once that is larger"},
      {10'000'000, 100'000, "a 10 MB item about every 100,000 bytes"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ClipProgress::stepFor(row.total), row.step) << row.why;
    ClipProgress progress;
    std::vector<uint32_t> reports;
    for (uint64_t done = 16'384;; done += 16'384) {
      if (auto report = progress.advance(1, done, row.total)) reports.push_back(*report);
      if (done >= row.total) break;
    }
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), row.total) << row.why << ": the last report carries done = total";
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
      uint32_t since = reports[i] - (i ? reports[i - 1] : 0);
      EXPECT_GE(since, row.step) << row.why;
      EXPECT_LT(since, row.step + 16'384) << row.why << ": reported at the first piece past the step";
    }
    EXPECT_EQ(progress.trackedCount(), 0u) << "a finished item is forgotten";
  }
}

}  // namespace
}  // namespace vela
