// The built tavlo-host where the session names no D-Bus session bus.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "host/app/host_options.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

// Where the session names no D-Bus session bus and the user has none, libraries would start one of their
// own (Qt looks for a tray's notifier host when the tray icon is made): a fork from the threaded host
// whose child can hang before it runs anything, and the Qt thread waiting on it. The host with its tray on
// an X server, traced: it never tries to run dbus-launch.
TEST(TavloHost, NeverStartsASessionBusOfItsOwn) {
  testkit::XorgServer server(testkit::XorgServer::Kind::xvfb);
  ASSERT_TRUE(server.start()) << server.failureText();
  testkit::TempDir home;
  const uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  const auto trace = home.path() / "trace";
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");  // the host inherits it
  // A leak check at exit cannot run under a tracer: the sanitizer build's host skips it here.
  HostProcess host(home.path(),
                   {"-f", "-qq", "-e", "trace=execve", "-o", trace.string(), TAVLO_HOST_PROGRAM, "--port",
                    std::to_string(base), "--display", server.display()},
                   {{"QT_QPA_PLATFORM", "xcb"}, {"ASAN_OPTIONS", "detect_leaks=0"}}, "/usr/bin/strace");
  ASSERT_TRUE(host.waitForLine("tavlo-host: clients connect to ")) << host.output();
  // The host is strace's child; strace ends with it.
  pid_t program = 0;
  const std::string task = std::to_string(host.pid());
  std::ifstream("/proc/" + task + "/task/" + task + "/children") >> program;
  ASSERT_GT(program, 0);
  ::kill(program, SIGTERM);
  EXPECT_EQ(host.exitStatus(), HostExitCode::ok) << host.output();
  std::ifstream traced(trace);
  std::string line, launches;
  while (std::getline(traced, line)) {
    if (line.find("dbus-launch") != std::string::npos) launches += line + "\n";
  }
  EXPECT_EQ(launches, "") << "the host tried to start a session bus of its own";
}

}  // namespace
}  // namespace tavlo
