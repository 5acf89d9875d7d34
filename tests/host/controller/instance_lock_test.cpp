#include "host/controller/instance_lock.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using testkit::TempDir;

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(InstanceLock, TheHolderRunsWhateverTheStartTimesOfOthers) {
  TempDir dir;
  const auto path = dir / "run" / InstanceLock::fileName;
  auto first = std::make_unique<InstanceLock>(path, 100);
  EXPECT_FALSE(first->anotherInstanceIsOlder());
  EXPECT_TRUE(first->holds());
  EXPECT_EQ(testkit::fileMode(path), 0600u);
  EXPECT_EQ(fileText(path), std::to_string(::getpid()) + " 100\n") << "the file names the holder";

  // Each is another open description of the file: flock refuses all of them while the first holds it.
  InstanceLock later(path, 200);
  InstanceLock sameTick(path, 100);
  InstanceLock earlier(path, 50);
  EXPECT_TRUE(later.anotherInstanceIsOlder());
  EXPECT_TRUE(sameTick.anotherInstanceIsOlder()) << "equal start times: the holder still runs alone";
  EXPECT_TRUE(earlier.anotherInstanceIsOlder()) << "a start time before the holder's takes nothing from it";
  EXPECT_FALSE(later.holds());
  EXPECT_FALSE(earlier.holds());
  EXPECT_FALSE(later.takeProblem()) << "a refused lock is no problem: the holder runs";

  first.reset();
  EXPECT_FALSE(later.anotherInstanceIsOlder()) << "the lock goes with its holder";
  EXPECT_TRUE(later.holds());
}

// What the holder file says decides nothing: empty, garbled or unreadable, a second instance is refused
// while the holder lives, and takes over once the holder is gone however it ended.
TEST(InstanceLock, TheKernelLockDecidesWhateverTheHolderFileSays) {
  struct Case {
    const char* name;
    const char* text;
    bool unreadable;
  };
  for (const Case& c : {Case{"empty", "", false}, Case{"garbled", "garbage", false},
                        Case{"unreadable", "4242 17\n", true}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir / InstanceLock::fileName;
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      InstanceLock lock(path, 100);
      if (lock.anotherInstanceIsOlder() || !lock.holds()) ::_exit(1);
      { std::ofstream(path, std::ios::trunc) << c.text; }
      if (c.unreadable) std::filesystem::permissions(path, std::filesystem::perms::none);
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
      (void)!::read(release[0], &byte, 1);  // holds the lock until the parent closes its end
      ::_exit(0);                           // no destructor: the kernel releases the lock at exit
    }
    ::close(ready[1]);
    ::close(release[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the holder did not take the lock";
    ::close(ready[0]);

    InstanceLock other(path, 200);
    EXPECT_TRUE(other.anotherInstanceIsOlder()) << "a live holder refuses a second instance";
    EXPECT_FALSE(other.holds());
    EXPECT_FALSE(other.takeProblem()) << "a refused lock is no problem: the holder runs";

    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(other.anotherInstanceIsOlder()) << "a dead holder's lock is taken over";
    EXPECT_TRUE(other.holds());
    EXPECT_FALSE(other.takeProblem());
    EXPECT_EQ(fileText(path), std::to_string(::getpid()) + " 200\n");
  }
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
