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
#include "tests/host/app/host_process.hpp"
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
