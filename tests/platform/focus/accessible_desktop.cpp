#include "tests/platform/focus/accessible_desktop.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tavlo::testkit {
namespace {

constexpr int kBusStartMs = 10'000;
constexpr int kWindowStartMs = 20'000;
constexpr int kCommandMs = 10'000;
// What the session bus started (the accessibility bus launcher, its bus, the registry) ends on its
// own once the session bus is gone; it is given this long before it is told to.
constexpr auto kLeftoversGrace = std::chrono::seconds(5);

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `args` with standard input and output on the given descriptors (-1: /dev/null) and standard
// error appended to `errorLog`. Everything is prepared before fork: the child only redirects and execs.
pid_t spawn(std::vector<std::string> args, int in, int out, const std::filesystem::path& errorLog) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log = errorLog.string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(in >= 0 ? in : devNull, STDIN_FILENO);
    dup2(out >= 0 ? out : devNull, STDOUT_FILENO);
    dup2(err >= 0 ? err : devNull, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void stopChild(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// The processes (other than this one) whose environment holds `marker`: what this desktop started,
// directly or through the session bus.
std::vector<pid_t> processesWith(const std::string& marker) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
    const std::string environment = readFile(std::filesystem::path("/proc") / entry->d_name / "environ");
    std::stringstream variables(environment);
    for (std::string variable; std::getline(variables, variable, '\0');) {
      if (variable == marker) {
        found.push_back(static_cast<pid_t>(pid));
        break;
      }
    }
  }
  closedir(proc);
  return found;
}

}  // namespace

AccessibleDesktop::~AccessibleDesktop() {
  closeWindow();
  stopSessionBus();
}

bool AccessibleDesktop::startX() {
  if (!xorg_.start()) {
    failure_ = xorg_.failureText();
    return false;
  }
  const std::string dir = dir_.path().string();
  // A desktop of its own: no accessibility bus or Wayland display of the machine is found instead.
  setenv("DISPLAY", xorg_.display().c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir + "/bus").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  setenv("HOME", dir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
  setenv("GSETTINGS_BACKEND", "memory", 1);
  setenv("GDK_BACKEND", "x11", 1);
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("NO_AT_BRIDGE");
  return true;
}

bool AccessibleDesktop::startSessionBus() {
  int address[2];
  if (pipe2(address, O_CLOEXEC) != 0) return false;
  bus_ = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=unix:path=" + (dir_ / "bus").string(),
                "--print-address=1"},
               -1, address[1], dir_ / "dbus.log");
  close(address[1]);
  const std::string line = readLine(address[0], kBusStartMs);
  close(address[0]);
  if (line.empty()) {
    failure_ = "dbus-daemon did not start\n--- its log ---\n" + readFile(dir_ / "dbus.log");
    return false;
  }
  return true;
}

bool AccessibleDesktop::openWindow() {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  window_ = spawn({"/usr/bin/python3", std::string(TAVLO_SOURCE_DIR) + "/tests/platform/focus/focus_test_window.py"},
                  in[0], out[1], dir_ / "window.log");
  close(in[0]);
  close(out[1]);
  windowIn_ = in[1];
  windowOut_ = out[0];
  pending_.clear();
  if (readLine(windowOut_, kWindowStartMs) != "ready") {
    failure_ = "the GTK window did not start\n--- its log ---\n" + readFile(dir_ / "window.log") +
               "\n--- session bus log ---\n" + readFile(dir_ / "dbus.log");
    closeWindow();
    return false;
  }
  return true;
}

std::string AccessibleDesktop::command(const std::string& line) {
  if (windowIn_ < 0) return {};
  const std::string text = line + "\n";
  if (write(windowIn_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
  std::string answer = readLine(windowOut_, kCommandMs);
  if (answer.empty()) failure_ = "the window did not answer '" + line + "'\n" + readFile(dir_ / "window.log");
  return answer;
}

void AccessibleDesktop::closeWindow() {
  if (windowIn_ >= 0) close(windowIn_);  // end of input: the window closes itself
  windowIn_ = -1;
  if (window_ > 0) {
    for (int i = 0; i < 100; ++i) {
      if (waitpid(window_, nullptr, WNOHANG) == window_) {
        window_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stopChild(window_);  // still running after 5 s
  }
  if (windowOut_ >= 0) close(windowOut_);
  windowOut_ = -1;
}

void AccessibleDesktop::stopSessionBus() {
  stopChild(bus_);
  const std::string marker = "XDG_RUNTIME_DIR=" + dir_.path().string();
  const auto deadline = std::chrono::steady_clock::now() + kLeftoversGrace;
  while (!processesWith(marker).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (pid_t pid : processesWith(marker)) kill(pid, SIGKILL);
}

std::string AccessibleDesktop::readLine(int fd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (const auto newline = pending_.find('\n'); newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::string AccessibleDesktop::failureText() const { return failure_; }

}  // namespace tavlo::testkit
