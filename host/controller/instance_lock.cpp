#include "host/controller/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace fs = std::filesystem;

namespace {

// The start time is field 22 of the stat line; counting begins after the command name's closing
// parenthesis (the name itself may hold spaces and parentheses), at field 3.
constexpr int startTimeFieldAfterName = 22 - 3;

std::optional<uint64_t> parseUnsigned(std::string_view text) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::string readSmallFile(const fs::path& path) {
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536) text.append(buffer, size_t(n));
  ::close(fd);
  return text;
}

}  // namespace

std::optional<fs::path> InstanceLock::defaultPath() {
  if (auto folder = hostRuntimeFolder()) return *folder / fileName;
  return std::nullopt;
}

std::optional<uint64_t> InstanceLock::startTicksOfStat(std::string_view stat) {
  auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  int field = 0;
  size_t at = 0;
  while (at < rest.size()) {
    while (at < rest.size() && rest[at] == ' ') ++at;
    size_t end = rest.find(' ', at);
    if (end == std::string_view::npos) end = rest.size();
    if (at == end) break;
    if (field++ == startTimeFieldAfterName) return parseUnsigned(rest.substr(at, end - at));
    at = end;
  }
  return std::nullopt;
}

uint64_t InstanceLock::ownStartTicks() {
  if (auto ticks = startTicksOfStat(readSmallFile("/proc/self/stat"))) return *ticks;
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  long hz = ::sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  return uint64_t(now.tv_sec) * uint64_t(hz) + uint64_t(now.tv_nsec) / (1'000'000'000 / uint64_t(hz));
}

InstanceLock::InstanceLock(std::optional<fs::path> path, uint64_t ownStartTicks)
    : path_(std::move(path)), ownStartTicks_(ownStartTicks) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

bool InstanceLock::anotherInstanceIsOlder() {
  if (!path_ || holds()) return false;
  if (path_->has_parent_path()) {
    if (auto failure = ensurePrivateDirectory(path_->parent_path())) {
      problem_ = path_->parent_path().string() + ": " + *failure;
      return false;
    }
  }
  int fd = ::open(path_->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  // A holder file of this user's whose mode was taken away is given its mode back: the lock is on that
  // very file, so neither a new file nor running unguarded would keep one instance.
  if (fd < 0 && errno == EACCES && ::chmod(path_->c_str(), 0600) == 0) {
    fd = ::open(path_->c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) {
    problem_ = path_->string() + ": " + std::strerror(errno);
    return false;
  }
  // The kernel's lock decides: it is refused while any other open description of the file holds it,
  // whatever the file says, and it goes with its holder however that process ends.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int refusal = errno;
    ::close(fd);
    if (refusal == EWOULDBLOCK) return true;
    problem_ = path_->string() + ": " + std::strerror(refusal);
    return false;
  }
  // The holder file only names the holder: "pid start-ticks".
  std::string content = std::to_string(::getpid()) + " " + std::to_string(ownStartTicks_) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    ssize_t written = ::pwrite(fd, content.data(), content.size(), 0);
    (void)written;
  }
  fd_ = fd;
  return false;
}

bool cgroupIsUnit(std::string_view cgroupText, std::string_view unit) {
  // Lines "hierarchy:controllers:path"; the unit is the path's last component.
  size_t at = 0;
  while (at < cgroupText.size()) {
    size_t end = cgroupText.find('\n', at);
    if (end == std::string_view::npos) end = cgroupText.size();
    std::string_view line = cgroupText.substr(at, end - at);
    auto slash = line.rfind('/');
    if (slash != std::string_view::npos && line.substr(slash + 1) == unit) return true;
    at = end + 1;
  }
  return false;
}

bool launchedByUserService(std::string_view unit) { return cgroupIsUnit(readSmallFile("/proc/self/cgroup"), unit); }

}  // namespace tavlo
