#pragma once
// A program the test starts (a server, a daemon, a recording tool) with an environment of the test's
// choosing and its output in a log file; stopped with SIGTERM (SIGKILL if it lingers) and waited for.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tavlo::testkit {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is looked up on PATH; `environment` is the whole environment ("NAME=value" entries).
  // Standard output and error go to `logPath`. False when the program could not be started.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::filesystem::path& logPath);
  // Sends `signal`, waits up to 5 s, then kills. Returns the exit code, or -1 (never started, killed
  // by a signal).
  int stop(int signal = 15);
  // Whether it still runs (reaps it when it has ended).
  bool running();
  // Waits until the log holds `text` (true), the program ends or the time is up (false).
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout);
  const std::filesystem::path& logPath() const { return log_; }
  std::string log() const;

 private:
  pid_t pid_ = -1;
  int exitCode_ = -1;
  std::filesystem::path log_;
};

// Runs a program to its end with `environment` and returns its exit code and output.
struct ToolResult {
  int exitCode = -1;
  std::string output;
};
ToolResult runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

// This process's environment with `overrides` ("NAME=value") set and the names in `removed` unset.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides,
                                         const std::vector<std::string>& removed = {});

std::string readTextFile(const std::filesystem::path& path);

}  // namespace tavlo::testkit
