#pragma once
// Runs a program with an argument vector (never through a shell: no argument is ever parsed again) and
// collects what it printed. Tests inject a recording runner in its place.
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

class ProcessCommandRunner final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override;
};

}  // namespace tavlo
