// Lines logged from other threads reach the log in order through one drain job at a time, and a flood
// keeps only the newest lines waiting, with the number dropped said first.
#include "host/controller/log_backlog.hpp"

#include <gtest/gtest.h>

#include "tests/host/controller/controller_test_kit.hpp"

namespace tavlo {
namespace {

TEST(LogBacklog, AsksForOneDrainAtATimeAndDropsTheOldestAboveItsLimit) {
  LogBacklog backlog(3);
  EXPECT_TRUE(backlog.add("a"));
  EXPECT_FALSE(backlog.add("b")) << "a drain is already under way";
  for (const char* line : {"c", "d", "e"}) backlog.add(line);
  LogBacklog::Drained drained = backlog.drain();
  EXPECT_EQ(drained.lines, (std::vector<std::string>{"c", "d", "e"}));
  EXPECT_EQ(drained.dropped, 2u);
  EXPECT_TRUE(backlog.add("f")) << "after a drain the next line asks again";
  EXPECT_EQ(backlog.drain().dropped, 0u);
}

TEST(LogBacklog, AFloodThroughTheControllersSinkRunsInShortJobsAndKeepsTheNewestLines) {
  controllertest::ControllerRig rig;
  auto controller = rig.startedController();
  rig.main.runUntilIdle();
  LogSink sink = controller->logSink();
  const size_t flood = HostController::logSinkBacklogLimit + 500;
  for (size_t i = 0; i < flood; ++i) sink("linia " + std::to_string(i));
  EXPECT_EQ(rig.main.runQueued(1), 1u);
  EXPECT_EQ(controller->logLines.get().back(), "linia " + std::to_string(500 + HostController::logLinesPerJob - 1))
      << "a job writes a bounded batch";
  EXPECT_EQ(rig.main.runUntilIdle(), HostController::logSinkBacklogLimit / HostController::logLinesPerJob - 1)
      << "then one job after another";
  const auto& lines = controller->logLines.get();
  ASSERT_EQ(lines.size(), HostController::logLinesKept);
  EXPECT_EQ(lines.back(), "linia " + std::to_string(flood - 1));
  controller->flushLog();
  EXPECT_NE(rig.logFile().find("⚠️ log: za dużo linii naraz — pominięto 500 najstarszych"), std::string::npos);
  EXPECT_EQ(rig.logFile().find("linia 499\n"), std::string::npos);
  EXPECT_NE(rig.logFile().find("linia 500\n"), std::string::npos);
}

}  // namespace
}  // namespace tavlo
