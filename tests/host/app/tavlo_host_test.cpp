// The built tavlo-host program: its command line, its lines, its exit statuses and the single-instance
// rule between two real processes. Each run gets a home of its own (settings, state, runtime folder).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/app/host_options.hpp"
#include "host/controller/port_block_search.hpp"
#include "platform/runtime/command_runner.hpp"
#include "platform/runtime/json_store.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

// Parses `args` and checks the outcome against `error` (nullptr: the line parses); the options when it
// parsed as expected.
std::optional<HostOptions> parseExpecting(const std::vector<const char*>& args, const char* error) {
  auto parsed = parseHostOptions(args);
  if (error) {
    if (!std::holds_alternative<std::string>(parsed)) {
      ADD_FAILURE() << "parsed, expected the refusal \"" << error << "\"";
      return std::nullopt;
    }
    EXPECT_EQ(std::get<std::string>(parsed), error);
    return std::nullopt;
  }
  if (!std::holds_alternative<HostOptions>(parsed)) {
    ADD_FAILURE() << std::get<std::string>(parsed);
    return std::nullopt;
  }
  return std::get<HostOptions>(parsed);
}

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
    const auto options = parseExpecting(row.args, row.error);
    if (!options) continue;
    EXPECT_EQ(options->port, row.port);
    EXPECT_EQ(options->display, row.display);
    EXPECT_EQ(options->help, row.help);
  }
}

TEST(HostOptions, ParsesTheAutostartActions) {
  using Action = HostOptions::AutostartAction;
  struct Row {
    std::vector<const char*> args;
    Action action;
    const char* error;  // nullptr: parses
  };
  const Row rows[] = {
      {{"--install-autostart"}, Action::install, nullptr},
      {{"--install-autostart", "keep"}, Action::installKeepRunning, nullptr},
      {{"--install-autostart", "--port", "47710"}, Action::install, nullptr},  // the next option is kept
      {{"--remove-autostart", "keep"}, Action::remove, "unknown option keep"},
      {{"--install-autostart", "--remove-autostart"}, Action::none, "give one autostart option at most"},
  };
  for (const Row& row : rows) {
    if (const auto options = parseExpecting(row.args, row.error)) {
      EXPECT_EQ(options->autostart, row.action);
    }
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

// A host with nothing to drive says at start that it refuses clients and why, and never that clients
// connect to it.
TEST(TavloHost, SaysAtStartThatItRefusesClientsWhereItHasNoDesktopToServe) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> environment;
    const char* why;
  };
  const Case cases[] = {
      {"no X server", {}, "desktop: no X server to drive (DISPLAY is not set): clients are refused"},
      {"KDE on Wayland", {{"WAYLAND_DISPLAY", "wayland-tavlo-test"}, {"XDG_CURRENT_DESKTOP", "KDE"}},
       "desktop: KDE on Wayland is not served: clients are refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testkit::TempDir home;
    uint16_t base = freeBlock();
    ASSERT_NE(base, 0);
    HostProcess host(home.path(), {"--port", std::to_string(base)}, c.environment);
    ASSERT_TRUE(host.waitForLine(c.why)) << host.output();
    ASSERT_TRUE(host.waitForLine("tavlo-host: listening on port " + std::to_string(base))) << host.output();
    EXPECT_NE(host.output().find("but every client is refused: "), std::string::npos) << host.output();
    EXPECT_EQ(host.output().find("clients connect to"), std::string::npos) << host.output();
    host.signal(SIGTERM);
    EXPECT_EQ(host.exitStatus(), HostExitCode::ok) << host.output();
  }
}

// Run from the build tree with a feed address, the built host does not update itself, by design: it
// says why (this build has no signing key, or this is no release folder) as a plain line, not an error.
TEST(TavloHost, FromTheBuildTreeItSaysWhyItDoesNotUpdateWithoutReportingAnError) {
  testkit::TempDir home;
  std::filesystem::create_directories(home / "XDG_CONFIG_HOME" / "tavlo");
  std::ofstream(home / "XDG_CONFIG_HOME" / "tavlo" / "settings.json")
      << R"({"tl.updateFeedURL": "https://updates.example.org/feed"})";
  const uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  HostProcess host(home.path(), {"--port", std::to_string(base)});
  ASSERT_TRUE(host.waitForLine("aktualizacje wyłączone")) << host.output();
  const std::string output = host.output();
  const bool noKey = output.find("🔄 ten build nie ma klucza podpisu aktualizacji — aktualizacje wyłączone") !=
                     std::string::npos;
  const bool notRelease = output.find("🔄 host nie działa z folderu wydania (") != std::string::npos;
  EXPECT_TRUE(noKey || notRelease) << output;
  EXPECT_EQ(output.find("BŁĄD startu aktualizacji"), std::string::npos) << output;
  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), HostExitCode::ok) << host.output();
}

// On an X server without an output to take the host says at start that clients get the main display,
// and serves them. Xvfb resets whenever its last client leaves, and the host is its only one: the look
// at start must not leave it without a client before the displays are opened.
TEST(TavloHost, SaysAtStartThatAnXServerWithoutAFreeOutputHasItsMainDisplayStreamed) {
  testkit::XorgServer server(testkit::XorgServer::Kind::xvfb);
  ASSERT_TRUE(server.start()) << server.failureText();
  testkit::TempDir home;
  uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  HostProcess host(home.path(), {"--port", std::to_string(base), "--display", server.display(), "--no-ui"});
  ASSERT_TRUE(host.waitForLine("desktop: X server " + server.display() + " has no output the host can take")) << host.output();
  EXPECT_NE(host.output().find("clients get its main display instead"), std::string::npos) << host.output();
  ASSERT_TRUE(host.waitForLine("tavlo-host: clients connect to ")) << host.output();
  EXPECT_EQ(host.output().find("no X display"), std::string::npos) << host.output();
  EXPECT_EQ(host.output().find("refused"), std::string::npos) << host.output();
  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), HostExitCode::ok) << host.output();
}

TEST(TavloHost, AStartRemovesTheClipboardFilesAnEarlierRunLeftButASecondInstanceLeavesTheRunningOnes) {
  testkit::TempDir home;
  uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  // The host's own runtime folder, beside its instance lock.
  const auto folder = home.path() / "XDG_RUNTIME_DIR" / "tavlo" / "clip";
  std::filesystem::create_directories(folder / "out" / "earlier");
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  std::ofstream(folder / "clip-earlier") << "an unnamed item of an earlier run";
  std::ofstream(folder / "out" / "earlier" / "report.pdf") << "a file placed for an earlier run";
  const std::vector<std::pair<std::string, std::string>> environment;

  HostProcess host(home.path(), {"--port", std::to_string(base)}, environment);
  ASSERT_TRUE(host.waitForLine("[HOST] host nasłuchuje (control " + std::to_string(base))) << host.output();
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "leftovers of an earlier run stayed";
  const std::string cleaned = "📋 usunięto pozostałości schowka z poprzedniego uruchomienia (plików: 2)";
  if (host.output().find(cleaned) == std::string::npos) {
    EXPECT_TRUE(host.waitForLine(cleaned)) << host.output();
  }

  // What the running host received meanwhile is its own: a second instance started now leaves it.
  std::ofstream(folder / "clip-running") << "received by the running host";
  HostProcess second(home.path(), {"--port", std::to_string(base)}, environment);
  EXPECT_EQ(second.exitStatus(), HostExitCode::anotherInstance) << second.output();
  EXPECT_TRUE(std::filesystem::exists(folder / "clip-running")) << "a second instance removed the running host's file";

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), HostExitCode::ok) << host.output();
}

TEST(TavloHost, InstallingTheLoginUnitStoresTheWishThatEveryStartKeeps) {
  testkit::TempDir home;
  // A user manager that accepts every command: the test never reaches a real one.
  const auto bin = home.path() / "bin";
  std::filesystem::create_directories(bin);
  std::ofstream(bin / "systemctl") << "#!/bin/sh\nexit 0\n";
  std::filesystem::permissions(bin / "systemctl", std::filesystem::perms::owner_all);
  const char* path = std::getenv("PATH");
  const std::vector<std::pair<std::string, std::string>> environment = {
      {"PATH", bin.string() + ":" + (path ? path : "/usr/bin:/bin")}};
  // An earlier run stored "no start at login"; the next start would take a unit out against that wish.
  const auto settingsFile = home.path() / "XDG_CONFIG_HOME/tavlo/settings.json";
  {
    Settings earlier(settingsFile);
    earlier.set("tl.autostartLogin", JsonValue(false));
    earlier.set("tl.autostartKeepRunning", JsonValue(false));
  }

  // A user manager that refuses (none runs for this user): nothing is registered and the wish stays.
  {
    const auto refusing = home.path() / "refusing";
    std::filesystem::create_directories(refusing);
    std::ofstream(refusing / "systemctl") << "#!/bin/sh\necho 'Failed to connect to bus: No medium found' >&2\nexit 1\n";
    std::filesystem::permissions(refusing / "systemctl", std::filesystem::perms::owner_all);
    HostProcess refused(home.path(), {"--install-autostart", "keep"},
                        {{"PATH", refusing.string() + ":" + (path ? path : "/usr/bin:/bin")}});
    EXPECT_EQ(refused.exitStatus(), HostExitCode::autostartFailed) << refused.output();
    EXPECT_NE(refused.output().find("No medium found"), std::string::npos) << refused.output();
    EXPECT_FALSE(std::filesystem::exists(home.path() / "XDG_CONFIG_HOME/systemd/user/tavlo-host-login-keepalive.service"));
    EXPECT_FALSE(std::filesystem::exists(home.path() / "XDG_CONFIG_HOME/autostart/tavlo-host-login-keepalive.desktop"));
    Settings stored(settingsFile);
    EXPECT_EQ(stored.getBool("tl.autostartLogin"), false);
  }

  HostProcess install(home.path(), {"--install-autostart", "keep"}, environment);
  EXPECT_EQ(install.exitStatus(), HostExitCode::ok) << install.output();
  EXPECT_TRUE(std::filesystem::exists(home.path() / "XDG_CONFIG_HOME/systemd/user/tavlo-host-login-keepalive.service"));
  EXPECT_TRUE(std::filesystem::exists(home.path() / "XDG_CONFIG_HOME/autostart/tavlo-host-login-keepalive.desktop"));
  {
    Settings stored(settingsFile);
    EXPECT_EQ(stored.getBool("tl.autostartLogin"), true);
    EXPECT_EQ(stored.getBool("tl.autostartKeepRunning"), true);
  }

  HostProcess remove(home.path(), {"--remove-autostart"}, environment);
  EXPECT_EQ(remove.exitStatus(), HostExitCode::ok) << remove.output();
  Settings stored(settingsFile);
  EXPECT_EQ(stored.getBool("tl.autostartLogin"), false);
}

TEST(TavloHost, TheLoginUnitNamesTheHostWhereverSystemdCanRunItAndRefusesThePathsItCannot) {
  struct Case {
    const char* folder;
    bool expressible;
  };
  for (const Case& c : {Case{"tavlo 50%h $HOME", true}, Case{"tavlo \xff\xfe", true}, Case{"tavlo \"quoted\"", false},
                        Case{"tavlo \\back", false}}) {
    testkit::TempDir home;
    const auto bin = home.path() / "bin";
    std::filesystem::create_directories(bin);
    std::ofstream(bin / "systemctl") << "#!/bin/sh\nexit 0\n";  // a user manager that accepts every command
    std::filesystem::permissions(bin / "systemctl", std::filesystem::perms::owner_all);
    const auto runtime = home.path() / "XDG_RUNTIME_DIR";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    const std::vector<std::pair<std::string, std::string>> environment = {
        {"PATH", bin.string() + ":" + (path ? path : "/usr/bin:/bin")}};
    const auto folder = home.path() / c.folder;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(TAVLO_HOST_PROGRAM, folder / "tavlo-host");

    HostProcess install(home.path(), {"--install-autostart", "keep"}, environment, folder / "tavlo-host");
    const auto unit = home.path() / "XDG_CONFIG_HOME/systemd/user/tavlo-host-login-keepalive.service";
    const auto entry = home.path() / "XDG_CONFIG_HOME/autostart/tavlo-host-login-keepalive.desktop";
    if (!c.expressible) {
      EXPECT_EQ(install.exitStatus(), HostExitCode::autostartFailed) << c.folder;
      EXPECT_NE(install.output().find("cannot be expressed in a systemd unit"), std::string::npos) << install.output();
      EXPECT_FALSE(std::filesystem::exists(unit)) << c.folder;
      EXPECT_FALSE(std::filesystem::exists(entry)) << c.folder;
      continue;
    }
    EXPECT_EQ(install.exitStatus(), HostExitCode::ok) << c.folder << ": " << install.output();
    ASSERT_TRUE(std::filesystem::exists(unit)) << c.folder;
    // systemd's own reading of the unit names the copy, or it would say the command is not executable.
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ProcessCommandRunner runner;
    const CommandResult verdict = runner.run({"systemd-analyze", "--user", "verify", "--man=no", unit.string()});
    EXPECT_EQ(verdict.exitCode, 0) << c.folder << ": " << verdict.output;
    const CommandResult entryVerdict = runner.run({"desktop-file-validate", entry.string()});
    EXPECT_EQ(entryVerdict.exitCode, 0) << c.folder << ": " << entryVerdict.output;
  }
}

TEST(TavloHost, RefusesABadCommandLine) {
  testkit::TempDir home;
  HostProcess host(home.path(), {"--port", "0"});
  EXPECT_EQ(host.exitStatus(), HostExitCode::usage);
  EXPECT_NE(host.output().find("usage: tavlo-host"), std::string::npos);
}

// The profiling probes are in the program for perf and bpftrace to find: the encoder brackets every
// frame's encoding with an interval of category "video".
TEST(TavloHost, CarriesItsProfilingProbes) {
  const std::string command = std::string("readelf --notes '") + TAVLO_HOST_PROGRAM + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string notes;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) notes.append(buffer, n);
  ASSERT_EQ(::pclose(pipe), 0) << notes;
  for (const char* probe : {"interval_begin", "interval_end", "event"}) {
    const std::string entry = std::string("Provider: tavlo\n    Name: ") + probe + "\n";
    EXPECT_NE(notes.find(entry), std::string::npos) << "no USDT probe tavlo:" << probe;
  }
}

}  // namespace
}  // namespace tavlo
