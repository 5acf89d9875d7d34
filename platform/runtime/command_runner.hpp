#pragma once
// Runs a program with an argument vector (never through a shell: no argument is ever parsed again) and
// collects what it printed. Tests inject a recording runner in its place.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tavlo {

struct CommandResult {
  int exitCode = -1;   // -1: the program could not be started or did not exit normally
  std::string output;  // standard output and standard error, interleaved as written
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // argv[0] is looked up on PATH. Blocks until the program exits.
  virtual CommandResult run(const std::vector<std::string>& argv) = 0;
};

// Ends the commands of the runners that share it once the program is ending: stop() kills the ones
// running (each with the processes it started) and every later run() fails at once, so that no worker
// keeps the exit waiting on a service manager that does not answer, or issues commands after it began.
class CommandStop {
 public:
  void stop();
  bool stopped() const;
  // Waits `duration`, or less once stop() was called; false when stopped.
  bool sleepFor(std::chrono::milliseconds duration);

 private:
  friend class ProcessCommandRunner;
  // False (and nothing kept) once stopped: the caller then kills `pid` itself.
  bool keep(pid_t pid);
  void forget(pid_t pid);

  mutable std::mutex mutex_;  // the fields below
  std::condition_variable stopping_;
  bool stopped_ = false;
  std::set<pid_t> running_;
};

class ProcessCommandRunner final : public CommandRunner {
 public:
  ProcessCommandRunner() = default;
  // Its commands end with `stop`.
  explicit ProcessCommandRunner(std::shared_ptr<CommandStop> stop) : stop_(std::move(stop)) {}
  CommandResult run(const std::vector<std::string>& argv) override;

 private:
  std::shared_ptr<CommandStop> stop_;
};

}  // namespace tavlo
