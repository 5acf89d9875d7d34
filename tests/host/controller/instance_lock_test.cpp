#include "host/controller/instance_lock.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using testkit::TempDir;

TEST(InstanceLock, AnInstanceStartedLaterSeesTheRunningOneAsOlder) {
  TempDir dir;
  const auto path = dir / "run" / InstanceLock::fileName;
  auto first = std::make_unique<InstanceLock>(path, 100);
  EXPECT_FALSE(first->anotherInstanceIsOlder());
  EXPECT_TRUE(first->holds());
  EXPECT_EQ(testkit::fileMode(path), 0600u);

  InstanceLock later(path, 200);
  InstanceLock sameTick(path, 100);
  InstanceLock earlier(path, 50);
  EXPECT_TRUE(later.anotherInstanceIsOlder());
  EXPECT_FALSE(sameTick.anotherInstanceIsOlder()) << "equal start times: neither is older";
  EXPECT_FALSE(earlier.anotherInstanceIsOlder());
  EXPECT_FALSE(later.holds());

  first.reset();
  EXPECT_FALSE(later.anotherInstanceIsOlder()) << "the lock goes with its holder";
  EXPECT_TRUE(later.holds());
}

TEST(InstanceLock, AHolderWhoseStartCannotBeReadNeverMakesOthersWait) {
  TempDir dir;
  const auto path = dir / InstanceLock::fileName;
  InstanceLock holder(path, 100);
  ASSERT_FALSE(holder.anotherInstanceIsOlder());
  std::ofstream(path, std::ios::trunc) << "garbage";
  InstanceLock other(path, 200);
  EXPECT_FALSE(other.anotherInstanceIsOlder());
  auto problem = other.takeProblem();
  ASSERT_TRUE(problem) << "running beside an unreadable holder is reported";
  EXPECT_NE(problem->find("start time cannot be read"), std::string::npos) << *problem;
  EXPECT_FALSE(other.takeProblem()) << "reported once";
  std::ofstream(path, std::ios::trunc) << "";
  EXPECT_FALSE(other.anotherInstanceIsOlder());
  EXPECT_TRUE(other.takeProblem()) << "an empty holder file as well";
  EXPECT_FALSE(holder.takeProblem()) << "the holder itself took the lock cleanly";
  EXPECT_FALSE(InstanceLock(std::nullopt, 200).anotherInstanceIsOlder()) << "no lock file: never a duplicate";
}

TEST(InstanceLock, AFileThatCannotBeOpenedIsReported) {
  TempDir dir;
  const auto path = dir / InstanceLock::fileName;
  std::filesystem::create_directory(path);  // a folder where the file should be: open fails for anyone
  InstanceLock lock(path, 100);
  EXPECT_FALSE(lock.anotherInstanceIsOlder());
  EXPECT_FALSE(lock.holds());
  auto problem = lock.takeProblem();
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find(path.string()), std::string::npos) << *problem;
}

TEST(InstanceLock, ReadsTheStartTimeAfterACommandNameWithSpacesAndParentheses) {
  const char* stat = "4242 (tavlo (host) x) S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 3 0 987654 1000 50";
  EXPECT_EQ(InstanceLock::startTicksOfStat(stat), 987654u);
  EXPECT_EQ(InstanceLock::startTicksOfStat("4242 (x) S 1"), std::nullopt);
  EXPECT_GT(InstanceLock::ownStartTicks(), 0u);
}

TEST(InstanceLock, TellsTheLoginServiceFromAHandStart) {
  EXPECT_TRUE(cgroupIsUnit("0::/user.slice/user-1000.slice/user@1000.service/app.slice/tavlo-host.service\n",
                           "tavlo-host.service"));
  EXPECT_FALSE(cgroupIsUnit("0::/user.slice/user-1000.slice/session-2.scope\n", "tavlo-host.service"));
  EXPECT_FALSE(cgroupIsUnit("0::/x/tavlo-host.service.d\n", "tavlo-host.service"));
}

}  // namespace
}  // namespace tavlo
