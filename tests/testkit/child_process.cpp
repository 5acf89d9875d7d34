#include "tests/testkit/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tavlo::testkit {
namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
  result.push_back(nullptr);
  return result;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
  auto args = pointers(argv);
  auto env = pointers(environment);
  pid_t pid = -1;
  int result = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

}  // namespace

std::string readTextFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::filesystem::path& logPath) {
  stop();
  log_ = logPath;
  int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) return false;
  pid_ = spawn(argv, environment, out);
  ::close(out);
  exitCode_ = -1;
  return pid_ > 0;
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return false;
  }
  return true;
}

int ChildProcess::stop(int signal) {
  if (!running()) return exitCode_;
  ::kill(pid_, signal);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exitCode_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  exitCode_ = -1;
  return exitCode_;
}

bool ChildProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (log().find(text) != std::string::npos) return true;
    if (!running()) return log().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string ChildProcess::log() const { return log_.empty() ? std::string() : readTextFile(log_); }

ToolResult runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  ToolResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  pid_t pid = spawn(argv, environment, fds[1]);
  ::close(fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  if (pid <= 0) return result;
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides,
                                         const std::vector<std::string>& removed) {
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = nameOf(entry);
    bool drop = false;
    for (const auto& r : removed) drop = drop || r == name;
    for (const auto& o : overrides) drop = drop || nameOf(o) == name;
    if (!drop) result.push_back(entry);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

}  // namespace tavlo::testkit
