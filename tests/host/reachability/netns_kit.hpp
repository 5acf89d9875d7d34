#pragma once
// Network namespaces and the servers the integration tests run inside them. Everything made here is
// named uniquely per test process and removed by the destructors, also when a test fails half-way.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo::testkit {

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and error
};
// Runs a program to its end (argv[0] is looked up in PATH).
CommandResult runCommand(const std::vector<std::string>& argv);
// Runs it and, on a non-zero exit, appends the command and its output to `failures`.
bool runOrNote(const std::vector<std::string>& argv, std::string& failures);

// A background program whose standard output and error go to a file. Named apart from the test kit's
// ChildProcess: two classes of one name in one program break the link (and the one-definition rule).
class NetnsProcess {
 public:
  NetnsProcess(std::vector<std::string> argv, std::string logPath, std::map<std::string, std::string> environment = {});
  ~NetnsProcess();  // stop()
  NetnsProcess(const NetnsProcess&) = delete;
  NetnsProcess& operator=(const NetnsProcess&) = delete;

  bool running();
  // Waits until the log holds `text` (true), the program exits or the time is up (false).
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout);
  std::string log() const;
  // SIGTERM, then SIGKILL after 5 s; reaps the process.
  void stop();

 private:
  std::string logPath_;
  pid_t pid_ = -1;
};

// A named network namespace (ip netns), deleted with the object.
class NetNamespace {
 public:
  // `role` makes the name readable; the process id makes it unique.
  explicit NetNamespace(const std::string& role);
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool created() const { return created_; }
  const std::string& name() const { return name_; }
  // "ip netns exec NAME" followed by argv.
  std::vector<std::string> exec(const std::vector<std::string>& argv) const;
  std::string failure() const { return failure_; }

 private:
  std::string name_;
  bool created_ = false;
  std::string failure_;
};

// Moves the calling thread into a namespace for its lifetime (threads it starts meanwhile stay there).
class InNamespace {
 public:
  explicit InNamespace(const NetNamespace& ns);
  ~InNamespace();
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;
  bool entered() const { return entered_; }

 private:
  int original_ = -1;
  bool entered_ = false;
};

// A STUN server (binding requests only) inside a namespace that tells every asker it is seen at
// `mappedAddress` and its own port, which is what a router behind a one-to-one NAT learns.
class StunResponder {
 public:
  StunResponder(const NetNamespace& ns, std::string bindAddress, uint16_t port, std::string mappedAddress);
  ~StunResponder();
  bool ready() const { return ready_.load(); }

 private:
  std::atomic<bool> ready_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tavlo::testkit
