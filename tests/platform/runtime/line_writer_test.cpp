#include "platform/runtime/line_writer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace tavlo {
namespace {

using namespace std::chrono_literals;

// A destination that takes nothing until it is opened (or the writer stops), then records every line.
struct GatedDestination {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  bool blocked = false;  // a write is waiting at the gate
  std::vector<std::string> written;

  LineWriter::Write write() {
    return [this](const std::string& line, const std::atomic<bool>& stopping) {
      std::unique_lock lock(mutex);
      blocked = true;
      changed.notify_all();
      changed.wait_for(lock, 10s, [&] { return open || stopping.load(); });
      blocked = false;
      if (open) written.push_back(line);
    };
  }
  void waitUntilBlocked() {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 10s, [&] { return blocked; });
  }
  void openGate() {
    std::lock_guard guard(mutex);
    open = true;
    changed.notify_all();
  }
};

std::string note(uint64_t dropped) { return "dropped " + std::to_string(dropped); }

TEST(LineWriter, AStuckDestinationKeepsOnlyTheNewestLinesAndTheCountOfTheRest) {
  GatedDestination destination;
  LineWriter writer("tl.test.lines", 100, destination.write(), note);
  writer.add("first");
  destination.waitUntilBlocked();
  // The caller never waits: ten thousand lines go in while the first one is stuck.
  for (int i = 0; i < 10'000; ++i) writer.add("line " + std::to_string(i));
  EXPECT_FALSE(writer.flush(20ms)) << "nothing more was written";
  destination.openGate();
  ASSERT_TRUE(writer.flush(10s));
  ASSERT_EQ(destination.written.size(), 102u);
  EXPECT_EQ(destination.written[0], "first");
  EXPECT_EQ(destination.written[1], "dropped 9900");
  EXPECT_EQ(destination.written[2], "line 9900");
  EXPECT_EQ(destination.written.back(), "line 9999");
}

TEST(LineWriter, EndsWhileItsPipeIsFullAndNobodyReads) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    LineWriter writer(
        "tl.test.pipe", 1000,
        [fd = fds[1]](const std::string& line, const std::atomic<bool>& stopping) {
          LineWriter::writeToDescriptor(fd, line, stopping);
        },
        note);
    writer.add(std::string(1 << 20, 'x') + "\n");  // more than any pipe holds
    writer.add("after\n");
    EXPECT_FALSE(writer.flush(50ms));
  }  // returns although the write never finished
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace tavlo
