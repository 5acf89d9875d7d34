#include "host/controller/autostart_installer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "host/controller/autostart_unit.hpp"

namespace tavlo {
namespace {

// Records systemctl; systemd-analyze answers as `analyze` says (by default: not installed).
class RecordingSystemctl final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override {
    if (argv[0] == "systemd-analyze") {
      verified.push_back(argv.back());
      return analyze ? analyze(argv) : CommandResult{-1, "systemd-analyze: No such file or directory"};
    }
    calls.push_back(argv);
    return {argv.size() > 2 && argv[2] == failVerb ? 1 : 0, {}};
  }
  std::vector<std::vector<std::string>> calls;
  std::vector<std::string> verified;
  std::function<CommandResult(const std::vector<std::string>&)> analyze;
  std::string failVerb;
};

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-autostart-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(AutostartInstaller, SwitchingToKeepRunningRetiresThePlainUnitAndEnablesTheOther) {
  TempDir dir;
  RecordingSystemctl runner;
  const std::string plain(autostartUnitName(AutostartUnitKind::plain));
  const std::string keep(autostartUnitName(AutostartUnitKind::keepRunning));
  ASSERT_EQ(installAutostart({dir.path, "/usr/bin/tavlo-host", "1", false}, runner), std::nullopt);
  ASSERT_TRUE(std::filesystem::exists(dir.path / plain));
  // Only the owner writes the unit; the user manager needs no more than to read it.
  EXPECT_EQ(std::filesystem::status(dir.path / plain).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  EXPECT_FALSE(std::filesystem::exists(dir.path / (plain + ".tmp")));

  runner.calls.clear();
  ASSERT_EQ(installAutostart({dir.path, "/usr/bin/tavlo-host", "1", true}, runner), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(dir.path / plain));
  EXPECT_NE(readFile(dir.path / keep).find("Restart=always"), std::string::npos);
  std::vector<std::vector<std::string>> expected = {{"systemctl", "--user", "disable", plain},
                                                    {"systemctl", "--user", "daemon-reload"},
                                                    {"systemctl", "--user", "enable", keep}};
  EXPECT_EQ(runner.calls, expected);

  runner.failVerb = "enable";
  auto failure = installAutostart({dir.path, "/usr/bin/tavlo-host", "1", true}, runner);
  ASSERT_TRUE(failure);
  EXPECT_NE(failure->find("enable"), std::string::npos);
}

TEST(AutostartInstaller, RemoveDisablesBothUnitsAndToleratesMissingFiles) {
  TempDir dir;
  RecordingSystemctl runner;
  ASSERT_EQ(installAutostart({dir.path, "/usr/bin/tavlo-host", "1", true}, runner), std::nullopt);
  runner.calls.clear();
  EXPECT_EQ(removeAutostart(dir.path, runner), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  EXPECT_EQ(runner.calls.size(), 3u);
  EXPECT_EQ(removeAutostart(dir.path / "never-created", runner), std::nullopt);

  // A wish "off" from the settings window removes; "on" installs; is-enabled's status is the answer.
  EXPECT_EQ(applyAutostartWish({dir.path, "/usr/bin/tavlo-host", "1", false}, true, runner), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(dir.path / autostartUnitName(AutostartUnitKind::plain)));
  EXPECT_EQ(applyAutostartWish({dir.path, "/usr/bin/tavlo-host", "1", false}, false, runner), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  EXPECT_TRUE(autostartUnitEnabled(AutostartUnitKind::plain, runner));
  runner.failVerb = "is-enabled";
  EXPECT_FALSE(autostartUnitEnabled(AutostartUnitKind::plain, runner));
}

// systemd-analyze run for real, with a runtime folder of its own for the user manager it starts.
CommandResult realSystemdAnalyze(const std::vector<std::string>& argv) {
  static TempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 1);
  ProcessCommandRunner runner;
  return runner.run(argv);
}

TEST(AutostartInstaller, WritesEveryPathSystemdCanRunAndReportsTheOthers) {
  // Each path gets an executable; systemd's own verdict on the installed unit (it checks that the
  // ExecStart it read names an executable) tells whether the unit says what was meant.
  struct Case {
    const char* why;
    std::string folder;
    bool expressible;
  };
  const Case cases[] = {
      {"a space", "a b", true},
      {"a dollar sign, which systemd expands in arguments but not in the executable", "a$b", true},
      {"a dollar sign and braces", "a${HOME}b", true},
      {"a percent sign, a specifier unless doubled", "a%hb", true},
      {"UTF-8 letters", "zażółć", true},
      {"a byte that is not UTF-8 (systemd ignores a line that is not UTF-8)", "a\xff\xfe" "b", true},
      {"a lone UTF-8 lead byte", "a\xc3" "b", true},
      {"a double quote", "a\"b", false},
      {"a backslash", "a\\b", false},
      {"an apostrophe", "a'b", false},
      {"a tab", "a\tb", false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const auto folder = dir.path / c.folder;
    std::filesystem::create_directories(folder);
    const auto program = folder / "tavlo-host";
    std::filesystem::copy_file("/bin/true", program);
    RecordingSystemctl runner;
    runner.analyze = realSystemdAnalyze;
    const auto units = dir.path / "units";
    auto failure = installAutostart({units, program, "0.1/1", true}, runner);
    const auto unit = units / autostartUnitName(AutostartUnitKind::keepRunning);
    if (!c.expressible) {
      ASSERT_TRUE(failure) << c.why;
      EXPECT_NE(failure->find("cannot be expressed in a systemd unit"), std::string::npos) << *failure;
      EXPECT_FALSE(std::filesystem::exists(unit)) << c.why;
      EXPECT_TRUE(runner.calls.empty()) << c.why;
      continue;
    }
    ASSERT_EQ(failure, std::nullopt) << c.why;
    ASSERT_EQ(runner.verified.size(), 1u) << c.why;
    const CommandResult verdict = realSystemdAnalyze({"systemd-analyze", "--user", "verify", "--man=no", unit.string()});
    EXPECT_EQ(verdict.exitCode, 0) << c.why << ": " << verdict.output << "\n" << readFile(unit);
  }
}

TEST(AutostartInstaller, AUnitSystemdRefusesIsNeitherWrittenNorEnabled) {
  TempDir dir;
  RecordingSystemctl runner;
  const std::string keep(autostartUnitName(AutostartUnitKind::keepRunning));
  runner.analyze = [&](const std::vector<std::string>& argv) {
    return CommandResult{1, argv.back() + ":8: Executable name contains special characters"};
  };
  auto failure = installAutostart({dir.path, "/usr/bin/tavlo-host", "1", true}, runner);
  ASSERT_TRUE(failure);
  EXPECT_NE(failure->find("systemd refuses the unit: "), std::string::npos) << *failure;
  EXPECT_NE(failure->find("Executable name contains special characters"), std::string::npos) << *failure;
  EXPECT_FALSE(std::filesystem::exists(dir.path / keep));
  EXPECT_TRUE(runner.calls.empty());
  EXPECT_FALSE(std::filesystem::exists(runner.verified.at(0)));  // the private copy is gone

  // A manager that cannot start (no runtime folder) gives no verdict on the unit: it is installed.
  runner.analyze = [](const std::vector<std::string>&) {
    return CommandResult{1, "Failed to initialize manager: No such device or address"};
  };
  EXPECT_EQ(installAutostart({dir.path, "/usr/bin/tavlo-host", "1", true}, runner), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(dir.path / keep));
}

}  // namespace
}  // namespace tavlo
