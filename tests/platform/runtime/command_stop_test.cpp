#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/runtime/command_runner.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

// A command that hangs (a shell waiting for a child of its own) ends when the stop comes, child and all,
// and no command runs after it.
TEST(CommandStop, EndsARunningCommandWithItsChildrenAndRefusesLaterOnes) {
  testkit::TempDir dir;
  const auto pidFile = dir / "child.pid";
  auto stop = std::make_shared<CommandStop>();
  ProcessCommandRunner runner(stop);
  auto hung = std::async(std::launch::async, [&] {
    return runner.run({"sh", "-c", "sleep 600 & echo $! > '" + pidFile.string() + "'; wait"});
  });
  // The bound only guards against a hang.
  for (int i = 0; i < 1000 && (!std::filesystem::exists(pidFile) || std::filesystem::is_empty(pidFile)); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  pid_t child = 0;
  std::ifstream(pidFile) >> child;
  ASSERT_GT(child, 0);

  stop->stop();
  ASSERT_EQ(hung.wait_for(10s), std::future_status::ready) << "the command still runs";
  EXPECT_EQ(hung.get().exitCode, -1);
  // The shell's child went with it (once reaped by init it is gone; a zombie still answers kill 0).
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i) {
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string pid, name, state;
    gone = !(stat >> pid >> name >> state) || state == "Z";
    if (!gone) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(gone) << "the command's own child still runs";

  const auto started = std::chrono::steady_clock::now();
  const CommandResult later = runner.run({"sleep", "600"});
  EXPECT_EQ(later.exitCode, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "a command after the stop is not run";
  EXPECT_FALSE(stop->sleepFor(10s)) << "a sleep after the stop returns at once";
}

}  // namespace
}  // namespace tavlo
