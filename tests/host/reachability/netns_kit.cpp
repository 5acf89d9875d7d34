#include "tests/host/reachability/netns_kit.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tavlo::testkit {
namespace {

int nextSerial() {
  static std::atomic<int> serial{0};
  return ++serial;
}

}  // namespace

ToolResult runCommand(const std::vector<std::string>& argv) { return runTool(argv, environmentWith({})); }

bool runOrNote(const std::vector<std::string>& argv, std::string& failures) {
  auto result = runCommand(argv);
  if (result.exitCode == 0) return true;
  std::string line;
  for (const auto& a : argv) line += a + " ";
  failures += "`" + line + "` exited " + std::to_string(result.exitCode) + ": " + result.output + "\n";
  return false;
}

bool startChild(ChildProcess& child, const std::vector<std::string>& argv, const std::string& logPath) {
  return child.start(argv, environmentWith({}), logPath);
}

NetNamespace::NetNamespace(const std::string& role)
    : name_("tavlo-" + role + "-" + std::to_string(getpid()) + "-" + std::to_string(nextSerial())) {
  created_ = runOrNote({"ip", "netns", "add", name_}, failure_);
  if (created_) runOrNote(exec({"ip", "link", "set", "lo", "up"}), failure_);
}

NetNamespace::~NetNamespace() {
  if (created_) (void)runCommand({"ip", "netns", "delete", name_});
}

std::vector<std::string> NetNamespace::exec(const std::vector<std::string>& argv) const {
  std::vector<std::string> out{"ip", "netns", "exec", name_};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

InNamespace::InNamespace(const NetNamespace& ns) {
  original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = ::open(("/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
  if (original_ >= 0 && target >= 0) entered_ = setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
}

InNamespace::~InNamespace() {
  if (entered_) (void)setns(original_, CLONE_NEWNET);
  if (original_ >= 0) close(original_);
}

StunResponder::StunResponder(const NetNamespace& ns, std::string bindAddress, uint16_t port, std::string mappedAddress) {
  thread_ = std::thread([this, &ns, bindAddress, port, mappedAddress] {
    InNamespace inside(ns);
    if (!inside.entered()) return;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    in_addr mapped{};
    inet_pton(AF_INET, mappedAddress.c_str(), &mapped);
    ready_.store(true);
    std::array<uint8_t, 1500> buffer;
    while (!stopping_.load()) {
      pollfd readable{fd, POLLIN, 0};
      if (::poll(&readable, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 20 || buffer[0] != 0x00 || buffer[1] != 0x01) continue;  // binding requests only
      // Binding success: the request's cookie and transaction, then MAPPED-ADDRESS and XOR-MAPPED-ADDRESS.
      std::vector<uint8_t> answer{0x01, 0x01, 0x00, 24};
      answer.insert(answer.end(), buffer.begin() + 4, buffer.begin() + 20);
      uint16_t mappedPort = ntohs(from.sin_port);
      const uint8_t* a = reinterpret_cast<const uint8_t*>(&mapped.s_addr);
      answer.insert(answer.end(), {0x00, 0x01, 0x00, 0x08, 0x00, 0x01, uint8_t(mappedPort >> 8), uint8_t(mappedPort),
                                   a[0], a[1], a[2], a[3]});
      uint16_t xorPort = mappedPort ^ 0x2112;
      answer.insert(answer.end(), {0x00, 0x20, 0x00, 0x08, 0x00, 0x01, uint8_t(xorPort >> 8), uint8_t(xorPort),
                                   uint8_t(a[0] ^ 0x21), uint8_t(a[1] ^ 0x12), uint8_t(a[2] ^ 0xA4), uint8_t(a[3] ^ 0x42)});
      (void)sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
    ::close(fd);
  });
  for (int i = 0; i < 100 && !ready_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

StunResponder::~StunResponder() {
  stopping_.store(true);
  thread_.join();
}

}  // namespace tavlo::testkit
