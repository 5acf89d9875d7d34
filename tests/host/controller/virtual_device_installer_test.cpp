#include "host/controller/virtual_device_installer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/runtime/private_files.hpp"
#include "tests/testkit/child_process.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

// A user service manager in memory: remembers enabled and active units and every argument vector.
class FakeSystemctl final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override {
    calls.push_back(argv);
    if (argv.size() < 3 || argv[0] != "systemctl" || argv[1] != "--user") return {1, "bad call"};
    const std::string& verb = argv[2];
    const std::string unit = argv.size() > 3 ? argv[3] : "";
    if (failVerb == verb) return {1, "Failed to " + verb + " " + unit + ": refused"};
    if (verb == "daemon-reload") return {0, ""};
    if (verb == "enable") enabled[unit] = true;
    if (verb == "start" || verb == "restart") active[unit] = !startFails;
    if (verb == "is-enabled") return enabled[unit] ? CommandResult{0, "enabled\n"} : CommandResult{1, "disabled\n"};
    if (verb == "is-active") return active[unit] ? CommandResult{0, "active\n"} : CommandResult{3, "failed\n"};
    if (verb == "show") return {0, std::to_string(restarts[unit]) + "\n"};
    return {0, ""};
  }
  std::vector<std::string> verbs() const {
    std::vector<std::string> result;
    for (const auto& call : calls) result.push_back(call[2] + (call.size() > 3 ? " " + call[3] : ""));
    return result;
  }

  std::vector<std::vector<std::string>> calls;
  std::map<std::string, bool> enabled, active;
  std::string failVerb;
  bool startFails = false;  // the unit starts and dies at once: "start" succeeds, "is-active" does not
  std::map<std::string, int> restarts;  // NRestarts: a crash-looping daemon reads "active" between its deaths
};

struct Fixture {
  testkit::TempDir dir;
  FakeSystemctl systemctl;
  std::vector<std::string> log, systemLog;
  std::vector<std::chrono::milliseconds> slept;
  Fixture() {
    std::filesystem::create_directories(bin());
    for (const char* name : {"tavlo-camd", "tavlo-micd"}) {
      writeFileAtomically(bin() / name, toBytes("#!/bin/sh\n"), 0755);
    }
  }
  std::filesystem::path bin() const { return dir / "tavlo host/bin"; }
  VirtualDeviceInstaller installer(const std::string& version = "0.1/7") {
    VirtualDeviceInstaller::Config config;
    config.unitDirectory = dir / "units";
    config.daemonDirectory = bin();
    config.version = version;
    config.useBuiltDaemons = false;  // the build's own daemons would stand in for a missing one
    config.sleep = [this](std::chrono::milliseconds time) { slept.push_back(time); };
    return VirtualDeviceInstaller(config, systemctl,
                                  [this](const std::string& line) { log.push_back(line); },
                                  [this](const std::string& line) { systemLog.push_back(line); });
  }
};

TEST(DaemonUnit, CarriesTheQuotedExecutableAndTheVersion) {
  auto text = renderDaemonUnit({"tavlo-micd.service", "Tavlo Mic", "/opt/a b/50%$x/tavlo-micd"}, "0.1/7");
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("\nExecStart=\"/opt/a b/50%%$x/tavlo-micd\"\n"), std::string::npos) << *text;
  // systemd refuses an executable with a quote or a backslash in its path, however it is written.
  EXPECT_FALSE(renderDaemonUnit({"x.service", "X", "/opt/a\"b/tavlo-micd"}, "1"));
  EXPECT_NE(text->find("\nWantedBy=default.target\n"), std::string::npos);
  EXPECT_EQ(daemonUnitVersion(*text), "0.1/7");
  EXPECT_EQ(daemonUnitVersion("[Service]\nExecStart=/x\n"), std::nullopt);
  // A line break in the path would start a new directive of the attacker's choosing.
  EXPECT_FALSE(renderDaemonUnit({"x.service", "X", "/tmp/a\nExecStartPre=/bin/evil"}, "1"));
}

TEST(VirtualDeviceInstaller, InstallsEnablesAndStartsBothUnitsWithArgumentVectors) {
  Fixture f;
  auto outcome = f.installer().ensureVirtualDevices();
  EXPECT_TRUE(outcome.microphoneReady);
  EXPECT_TRUE(outcome.cameraReady);
  EXPECT_EQ(f.systemctl.verbs(),
            (std::vector<std::string>{"daemon-reload", "enable tavlo-micd.service", "restart tavlo-micd.service",
                                      "is-enabled tavlo-micd.service", "is-active tavlo-micd.service",
                                      "show tavlo-micd.service", "daemon-reload", "enable tavlo-camd.service",
                                      "restart tavlo-camd.service", "is-enabled tavlo-camd.service",
                                      "is-active tavlo-camd.service", "show tavlo-camd.service"}));
  EXPECT_EQ(f.slept, (std::vector<std::chrono::milliseconds>{std::chrono::seconds(3), std::chrono::seconds(3)}))
      << "each daemon must stay up before it counts as ready";
  auto unit = readWholeFile(f.dir / "units/tavlo-camd.service");
  ASSERT_TRUE(unit);
  EXPECT_NE(toString(*unit).find("ExecStart=\"" + (f.bin() / "tavlo-camd").string() + "\""), std::string::npos);
  EXPECT_EQ(testkit::fileMode(f.dir / "units/tavlo-camd.service"), 0644u);
  EXPECT_EQ(f.log, (std::vector<std::string>{"🎙 instalacja wirtualnego mikrofonu (usługa użytkownika tavlo-micd)…",
                                             "🎙 ✅ mikrofon Tavlo dostępny",
                                             "📷 zgłoszono aktywację wirtualnej kamery"}));
  EXPECT_EQ(f.systemLog, (std::vector<std::string>{"Tavlo: 📷 aktywacja kamery wynik=0"}));
}

TEST(VirtualDeviceInstaller, VersionCheckDecidesWhatIsRedone) {
  Fixture f;
  f.installer().ensureVirtualDevices();

  // Same version, enabled and active: only the checks run, nothing is logged.
  f.systemctl.calls.clear();
  f.log.clear();
  f.installer().ensureVirtualDevices();
  EXPECT_EQ(f.systemctl.verbs(),
            (std::vector<std::string>{"is-enabled tavlo-micd.service", "is-active tavlo-micd.service",
                                      "is-enabled tavlo-camd.service", "is-active tavlo-camd.service"}));
  EXPECT_TRUE(f.log.empty());

  // Same version but stopped: started again without rewriting.
  f.systemctl.active["tavlo-camd.service"] = false;
  f.systemctl.calls.clear();
  f.installer().ensureVirtualDevices();
  EXPECT_EQ(f.systemctl.verbs()[2], "is-enabled tavlo-camd.service");
  EXPECT_EQ(f.systemctl.verbs()[5], "start tavlo-camd.service");

  // A new version replaces both units and restarts the old daemons.
  f.systemctl.calls.clear();
  f.installer("0.2/1").ensureVirtualDevices();
  EXPECT_EQ(daemonUnitVersion(toString(*readWholeFile(f.dir / "units/tavlo-micd.service"))), "0.2/1");
  auto verbs = f.systemctl.verbs();
  EXPECT_EQ(std::count(verbs.begin(), verbs.end(), "restart tavlo-micd.service"), 1);
}

TEST(VirtualDeviceInstaller, ReportsSuccessOnlyWhenTheUnitIsEnabledAndActive) {
  for (const std::string failing : {"enable", "daemon-reload", "start-dies", "crash-loop", "no-daemon"}) {
    SCOPED_TRACE(failing);
    Fixture f;
    if (failing == "start-dies") {
      f.systemctl.startFails = true;
    } else if (failing == "crash-loop") {
      f.systemctl.restarts = {{"tavlo-micd.service", 2}, {"tavlo-camd.service", 5}};
    } else if (failing == "no-daemon") {
      std::filesystem::remove_all(f.bin());
    } else {
      f.systemctl.failVerb = failing;
    }
    auto outcome = f.installer().ensureVirtualDevices();
    EXPECT_FALSE(outcome.microphoneReady);
    EXPECT_FALSE(outcome.cameraReady);
    ASSERT_EQ(f.log.size(), failing == "no-daemon" ? 1u : 3u);
    const char* expected = failing == "crash-loop"  ? "🎙 ❌ instalacja: tavlo-micd.service: demon restartowany 2×"
                           : failing == "no-daemon" ? "🎙 ❌ instalacja: brak demona: "
                                                    : "🎙 ❌ instalacja: systemctl --user ";
    if (failing != "no-daemon") {
      EXPECT_EQ(f.log[1].rfind(expected, 0), 0u) << f.log[1];
    } else {
      // Without a daemon nothing is installed, so the "installing" line never comes.
      EXPECT_EQ(f.log[0].rfind(expected, 0), 0u) << f.log[0];
    }
    ASSERT_EQ(f.systemLog.size(), 1u);
    EXPECT_EQ(f.systemLog[0].rfind("Tavlo: 📷 aktywacja kamery NIEUDANA: ", 0), 0u);
  }
}

TEST(ProcessCommandRunner, PassesArgumentsUnparsedAndCollectsOutput) {
  ProcessCommandRunner runner;
  auto result = runner.run({"printf", "%s|", "a b", "$(id)", "'; true"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "a b|$(id)|'; true|");
  EXPECT_EQ(runner.run({"false"}).exitCode, 1);
  EXPECT_EQ(runner.run({"/nonexistent/tool"}).exitCode, -1);
}

}  // namespace
}  // namespace tavlo
