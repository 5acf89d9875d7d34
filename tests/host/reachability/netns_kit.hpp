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

#include "tests/testkit/child_process.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo::testkit {

// Runs a program to its end in this process's environment (argv[0] is looked up in PATH).
ToolResult runCommand(const std::vector<std::string>& argv);
// Runs it and, on a non-zero exit, appends the command and its output to `failures`.
bool runOrNote(const std::vector<std::string>& argv, std::string& failures);

// Starts a background program in this process's environment with its output in `logPath`.
bool startChild(ChildProcess& child, const std::vector<std::string>& argv, const std::string& logPath);

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
