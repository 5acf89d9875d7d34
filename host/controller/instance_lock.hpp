#pragma once
// The single-instance rule's view of other running hosts: a lock file in the user's runtime folder,
// held (flock) by the instance that runs the host. The kernel's lock alone decides who runs; the file's
// text ("pid start-ticks") only names the holder. The lock goes with its holder, however that process
// ends, so a stale file never blocks a new start, and an empty or garbled one never lets a second run.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavlo {

class InstanceLock {
 public:
  static constexpr const char* fileName = "host.lock";
  // $XDG_RUNTIME_DIR/tavlo/host.lock; the state folder when there is no runtime folder.
  static std::optional<std::filesystem::path> defaultPath();
  // When this process started, in clock ticks since boot (/proc/self/stat); the present moment when
  // that cannot be read.
  static uint64_t ownStartTicks();
  // The start time field of a /proc/<pid>/stat text.
  static std::optional<uint64_t> startTicksOfStat(std::string_view statText);

  // Without a path the instance never takes itself for a duplicate.
  InstanceLock(std::optional<std::filesystem::path> path, uint64_t ownStartTicks);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when another running instance holds the lock (it took it before this one). When none does,
  // this one takes it (and keeps it for its lifetime) and the answer is false.
  bool anotherInstanceIsOlder();
  bool holds() const { return fd_ >= 0; }
  // Why the last check ran without the lock (the file could not be made, opened or locked), once;
  // nothing when it took the lock or another holder has it.
  // The host then runs unguarded, which its log must say.
  std::optional<std::string> takeProblem() { return std::exchange(problem_, std::nullopt); }

 private:
  const std::optional<std::filesystem::path> path_;
  const uint64_t ownStartTicks_;
  int fd_ = -1;
  std::optional<std::string> problem_;
};

// Whether a /proc/self/cgroup text puts this process in the given systemd unit (for example
// "tavlo-host.service"): the host then runs as the user's login service, not started by hand.
bool cgroupIsUnit(std::string_view cgroupText, std::string_view unit);
bool launchedByUserService(std::string_view unit);

}  // namespace tavlo
