// The built tavlo-host program: its command line, its lines, its exit statuses and the single-instance
// rule between two real processes. Each run gets a home of its own (settings, state, runtime folder).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/app/host_options.hpp"
#include "host/controller/port_block_search.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

TEST(HostOptions, ParsesTheCommandLine) {
  struct Row {
    std::vector<const char*> args;
    std::optional<uint16_t> port;
    std::optional<std::string> display;
    bool help;
    const char* error;  // nullptr: parses
  };
  const Row rows[] = {
      {{}, std::nullopt, std::nullopt, false, nullptr},
      {{"--port", "47710", "--display", ":3"}, 47710, ":3", false, nullptr},
      {{"--display", ":0.1", "--help"}, std::nullopt, ":0.1", true, nullptr},
      {{"--port", "65532"}, {}, {}, false, "--port needs a number from 1 to 65531"},
      {{"--display", "localhost:1"}, {}, {}, false, "--display needs an X display such as :1"},
      {{"--verbose"}, {}, {}, false, "unknown option --verbose"},
  };
  for (const Row& row : rows) {
    auto parsed = parseHostOptions(row.args);
    if (row.error) {
      ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
      EXPECT_EQ(std::get<std::string>(parsed), row.error);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<HostOptions>(parsed)) << std::get<std::string>(parsed);
    const auto& options = std::get<HostOptions>(parsed);
    EXPECT_EQ(options.port, row.port);
    EXPECT_EQ(options.display, row.display);
    EXPECT_EQ(options.help, row.help);
  }
}

// One tavlo-host process with its standard output (and error) read line by line.
class HostProcess {
 public:
  HostProcess(const std::filesystem::path& home, std::vector<std::string> args) {
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
      ::unsetenv("DISPLAY");  // never the desktop of whoever runs the tests
      std::vector<char*> argv{const_cast<char*>(TAVLO_HOST_PROGRAM)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(TAVLO_HOST_PROGRAM, argv.data());
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

uint16_t freeBlock() {
  PortBlockSearch search(PortBlockSearch::systemProbe(), [](uint64_t) {});
  for (uint16_t base = 43000; base < 60000; base += 5) {
    if (search.blockIsFree(base)) return base;
  }
  return 0;
}

TEST(TavloHost, ListensPrintsHowToReachItAndExitsWithSuccessOnSigterm) {
  testkit::TempDir home;
  uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  HostProcess host(home.path(), {"--port", std::to_string(base)});
  const std::string listening = "[HOST] host nasłuchuje (control " + std::to_string(base);
  ASSERT_TRUE(host.waitForLine(listening)) << host.output();
  ASSERT_TRUE(host.waitForLine("tavlo-host: host ID ")) << host.output();
  EXPECT_NE(host.output().find("tavlo-host: log file " + (home.path() / "XDG_STATE_HOME/tavlo/tavlo-host.log").string()),
            std::string::npos)
      << host.output();

  HostProcess second(home.path(), {"--port", std::to_string(base)});
  EXPECT_TRUE(second.waitForLine("🚫 druga instancja hosta już działa (starsza)")) << second.output();
  EXPECT_EQ(second.exitStatus(), HostExitCode::anotherInstance);
  EXPECT_EQ(second.output().find("nasłuchuje"), std::string::npos) << "the second instance bound no port";

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), HostExitCode::ok) << host.output();
}

TEST(TavloHost, RefusesABadCommandLine) {
  testkit::TempDir home;
  HostProcess host(home.path(), {"--port", "0"});
  EXPECT_EQ(host.exitStatus(), HostExitCode::usage);
  EXPECT_NE(host.output().find("usage: tavlo-host"), std::string::npos);
}

}  // namespace
}  // namespace tavlo
