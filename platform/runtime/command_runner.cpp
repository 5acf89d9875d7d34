#include "platform/runtime/command_runner.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace tavlo {

void CommandStop::stop() {
  std::set<pid_t> running;
  {
    std::lock_guard guard(mutex_);
    stopped_ = true;
    running = running_;
  }
  stopping_.notify_all();
  // Each command leads a process group of its own: a shell script's children go with it.
  for (pid_t pid : running) ::kill(-pid, SIGKILL);
}

bool CommandStop::stopped() const {
  std::lock_guard guard(mutex_);
  return stopped_;
}

bool CommandStop::sleepFor(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !stopping_.wait_for(lock, duration, [&] { return stopped_; });
}

bool CommandStop::keep(pid_t pid) {
  std::lock_guard guard(mutex_);
  if (stopped_) return false;
  running_.insert(pid);
  return true;
}

void CommandStop::forget(pid_t pid) {
  std::lock_guard guard(mutex_);
  running_.erase(pid);
}

CommandResult ProcessCommandRunner::run(const std::vector<std::string>& argv) {
  CommandResult result;
  if (argv.empty()) return result;
  if (stop_ && stop_->stopped()) {
    result.output = argv[0] + ": not run, the host is ending";
    return result;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.output = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (stop_) {
    // Its own process group, which a stop kills as a whole.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int spawned = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    result.output = argv[0] + ": " + std::strerror(spawned);
    return result;
  }
  if (stop_ && !stop_->keep(pid)) ::kill(-pid, SIGKILL);
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  if (stop_) stop_->forget(pid);  // before it is reaped: a stop never kills a number used again
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace tavlo
