#include "tests/testkit/xorg_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tavlo::testkit {
namespace {

// The configuration scripts/run uses too: one copy for both.
constexpr const char* kConfigPath = TAVLO_SOURCE_DIR "/scripts/xorg-dummy.conf";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

bool XorgServer::start() {
  if (running()) return true;
  const auto config = dir_ / "xorg.conf";
  std::error_code copyError;
  std::filesystem::copy_file(kConfigPath, config, copyError);
  if (copyError) {
    failure_ = std::string("cannot copy ") + kConfigPath + ": " + copyError.message();
    return false;
  }
  const auto log = dir_ / "xorg.log";
  const auto output = dir_ / "xorg.out";

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    failure_ = "pipe failed";
    return false;
  }
  const std::string fd = std::to_string(ready[1]);
  std::vector<std::string> args = {"Xorg", "-displayfd", fd, "-config", config.string(), "-logfile", log.string(),
                                   "-noreset", "-nolisten", "tcp", "-novtswitch", "-sharevts"};
  if (kind_ == Kind::xvfb) {
    // Without -noreset, as people run it: the server resets whenever its last client leaves.
    args = {"Xvfb", "-displayfd", fd, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"};
  }
  pid_ = fork();
  if (pid_ == 0) {
    // The server's own output goes to a file of the test; the ready pipe stays open across exec.
    int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    fcntl(ready[1], F_SETFD, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv.front(), argv.data());
    _exit(127);
  }
  close(ready[1]);
  if (pid_ < 0) {
    close(ready[0]);
    failure_ = "fork failed";
    return false;
  }

  // The server writes its display number and a newline once it accepts connections.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{ready[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      continue;
    }
    char c;
    ssize_t n = read(ready[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') break;
    number.push_back(c);
  }
  close(ready[0]);
  if (number.empty() || !running()) {
    failure_ = std::string(kind_ == Kind::xvfb ? "Xvfb" : "Xorg") + " did not start";
    stop();
    failure_ += "\n--- output ---\n" + readFile(output) + "\n--- log ---\n" + readFile(log);
    return false;
  }
  display_ = ":" + number;
  return true;
}

void XorgServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGCONT);  // a server a test stopped ends only once it runs again
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string XorgServer::failureText() const { return failure_; }

}  // namespace tavlo::testkit
