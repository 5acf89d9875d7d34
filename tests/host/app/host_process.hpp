#pragma once
// The built tavlo-host program as a child process with a home of its own (settings, state, runtime
// folder), its standard output and error read line by line; and a free block of ports for it.
// Needs TAVLO_HOST_PROGRAM, the path of the built program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "host/controller/port_block_search.hpp"
#include "tests/testkit/child_process.hpp"

namespace tavlo {

// One tavlo-host process with its standard output (and error) read line by line.
class HostProcess {
 public:
  // `environment` is set in the child on top of the home's folders; `program` is the built one unless
  // the test runs a copy of it from elsewhere.
  HostProcess(const std::filesystem::path& home, std::vector<std::string> args,
              const std::vector<std::pair<std::string, std::string>>& environment = {},
              const std::filesystem::path& program = TAVLO_HOST_PROGRAM) {
    // Every folder of the host's is the home's: a host of its own must not share (and clean) the
    // clipboard or lock of whoever runs the tests, nor another test's host's.
    const std::filesystem::path tmp = home / "tmp";
    std::filesystem::create_directories(tmp);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
        ::setenv(name, (home / name).c_str(), 1);
      }
      ::setenv("HOME", home.c_str(), 1);
      ::setenv("TMPDIR", tmp.c_str(), 1);
      // Never the desktop of whoever runs the tests.
      for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"}) {
        ::unsetenv(name);
      }
      for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    fd_ = out[0];
  }
  ~HostProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }

  // Reads until a line contains `text` (true) or the output ends or 20 s pass (false). The bound only
  // guards against a hang.
  bool waitForLine(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        lines_.push_back(line);
        if (line.find(text) != std::string::npos) return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        ended_ = true;
        return false;
      }
      pending_.append(buffer, size_t(n));
    }
  }
  // As waitForLine, but a line read before (by an earlier wait) counts too: for a line the host prints
  // at a time of its own, before or after the one a test waited for first.
  bool printedOrWaitFor(const std::string& text) {
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return waitForLine(text);
  }
  // Reads the rest of the output and returns the exit status once the process has ended; -1 when
  // its output did not end within 20 s or it did not exit normally.
  int exitStatus() {
    while (!ended_ && waitForLine("\x01")) {
    }
    if (!ended_) return -1;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int number) { ::kill(pid_, number); }
  pid_t pid() const { return pid_; }
  // Takes in whatever output is there now, without waiting: a host that logs a lot must not stall on
  // a full pipe while a test is busy elsewhere.
  void drainOutput() {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (ended_ || ::poll(&p, 1, 0) <= 0) return;
      char buffer[4096];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        ended_ = true;
        return;
      }
      pending_.append(buffer, size_t(n));
      for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        lines_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 1);
      }
    }
  }
  // What the process is doing now, for the message of a test that waited for it in vain: every thread's
  // stack (by gdb) and the end of its log file.
  std::string stacksAndLog(const std::filesystem::path& home) const {
    std::string text = "--- threads of the host:\n";
    text += testkit::runTool({"gdb", "-p", std::to_string(pid_), "-batch", "-ex", "thread apply all bt 25"},
                             testkit::environmentWith({}))
                .output;
    std::ifstream file(home / "XDG_STATE_HOME" / "tavlo" / "tavlo-host.log");
    std::deque<std::string> tail;
    for (std::string line; std::getline(file, line);) {
      tail.push_back(line);
      if (tail.size() > 60) tail.pop_front();
    }
    text += "--- the end of its log file:\n";
    for (const auto& line : tail) text += line + "\n";
    return text;
  }
  std::string output() const {
    std::string all;
    for (const auto& line : lines_) all += line + "\n";
    return all + pending_;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool ended_ = false;  // the output reached its end: the process is exiting
  std::string pending_;
  std::vector<std::string> lines_;
};

// Tests of several programs run side by side and each probes before its host binds, so two of them must
// not start the search at the same block: each starts at one its process id picks.
inline uint16_t freeBlock() {
  PortBlockSearch search(PortBlockSearch::systemProbe());
  constexpr uint32_t first = 43000, blocks = 3400;
  const uint32_t start = uint32_t(::getpid()) % blocks;
  for (uint32_t i = 0; i < blocks; ++i) {
    const auto base = uint16_t(first + ((start + i) % blocks) * 5);
    if (search.blockIsFree(base)) return base;
  }
  return 0;
}

}  // namespace tavlo
