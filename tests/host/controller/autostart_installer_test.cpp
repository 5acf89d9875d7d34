#include "host/controller/autostart_installer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <algorithm>
#include <sstream>

#include "host/controller/autostart_unit.hpp"

namespace tavlo {
namespace {

// Records systemctl; systemd-analyze answers as `analyze` says (by default: not installed), and the
// desktop's checker is not installed (the real one is run on the written entry where that matters).
class RecordingSystemctl final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override {
    if (argv[0] == "systemd-analyze") {
      verified.push_back(argv.back());
      return analyze ? analyze(argv) : CommandResult{-1, "systemd-analyze: No such file or directory"};
    }
    if (argv[0] == "desktop-file-validate") return {-1, "desktop-file-validate: No such file or directory"};
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

AutostartInstallPlan planIn(const std::filesystem::path& folder, bool keep,
                           std::filesystem::path program = "/usr/bin/tavlo-host") {
  return {folder / "systemd" / "user", folder / "autostart", std::move(program), "1", keep};
}

TEST(AutostartInstaller, EachKindIsItsEntryAndTheKeepRunningKindItsServiceToo) {
  TempDir dir;
  RecordingSystemctl runner;
  const auto plainEntry = dir.path / "autostart" / autostartEntryName(AutostartUnitKind::plain);
  const auto keepEntry = dir.path / "autostart" / autostartEntryName(AutostartUnitKind::keepRunning);
  const auto service = dir.path / "systemd/user" / autostartUnitName(AutostartUnitKind::keepRunning);
  ASSERT_EQ(installAutostart(planIn(dir.path, false), runner), std::nullopt);
  ASSERT_TRUE(std::filesystem::exists(plainEntry));
  EXPECT_FALSE(std::filesystem::exists(service));
  // Only the owner writes it; the session needs no more than to read it.
  EXPECT_EQ(std::filesystem::status(plainEntry).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  EXPECT_TRUE(autostartRegistered(AutostartUnitKind::plain, planIn(dir.path, false)));
  EXPECT_FALSE(autostartRegistered(AutostartUnitKind::keepRunning, planIn(dir.path, false)));

  ASSERT_EQ(installAutostart(planIn(dir.path, true), runner), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(plainEntry)) << "a complete registration retires the other kind";
  EXPECT_TRUE(std::filesystem::exists(keepEntry));
  EXPECT_NE(readFile(service).find("Restart=always"), std::string::npos);
  EXPECT_TRUE(autostartRegistered(AutostartUnitKind::keepRunning, planIn(dir.path, true)));
  std::filesystem::remove(service);
  EXPECT_FALSE(autostartRegistered(AutostartUnitKind::keepRunning, planIn(dir.path, true)))
      << "an entry without its service keeps nothing running";

  EXPECT_EQ(removeAutostart(planIn(dir.path, true), runner), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(keepEntry));
  EXPECT_EQ(removeAutostart(planIn(dir.path / "never-created", true), runner), std::nullopt);
  EXPECT_EQ(applyAutostartWish(planIn(dir.path, false), true, runner), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(plainEntry));
  EXPECT_EQ(applyAutostartWish(planIn(dir.path, false), false, runner), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(plainEntry));
}

// A user manager that refuses to reload leaves the earlier registration as it was and nothing new.
TEST(AutostartInstaller, ARefusedRegistrationLeavesTheEarlierOneAndNothingOfItsOwn) {
  TempDir dir;
  RecordingSystemctl runner;
  ASSERT_EQ(installAutostart(planIn(dir.path, false), runner), std::nullopt);
  runner.failVerb = "daemon-reload";
  auto failure = installAutostart(planIn(dir.path, true), runner);
  ASSERT_TRUE(failure);
  EXPECT_NE(failure->find("daemon-reload"), std::string::npos) << *failure;
  EXPECT_FALSE(std::filesystem::exists(dir.path / "systemd/user" / autostartUnitName(AutostartUnitKind::keepRunning)));
  EXPECT_FALSE(std::filesystem::exists(dir.path / "autostart" / autostartEntryName(AutostartUnitKind::keepRunning)));
  EXPECT_TRUE(autostartRegistered(AutostartUnitKind::plain, planIn(dir.path, false)));
}

// An earlier version's login units (enabled for graphical-session.target) are retired by any registration.
TEST(AutostartInstaller, TheLoginUnitsOfEarlierVersionsAreRetired) {
  TempDir dir;
  RecordingSystemctl runner;
  const auto oldPlain = dir.path / "systemd/user" / autostartUnitName(AutostartUnitKind::plain);
  std::filesystem::create_directories(oldPlain.parent_path());
  std::ofstream(oldPlain) << "[Install]\nWantedBy=graphical-session.target\n";
  ASSERT_EQ(installAutostart(planIn(dir.path, false), runner), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(oldPlain));
  const std::vector<std::string> disable = {"systemctl", "--user", "disable",
                                            std::string(autostartUnitName(AutostartUnitKind::plain))};
  EXPECT_NE(std::find(runner.calls.begin(), runner.calls.end(), disable), runner.calls.end());
}

// The entry as the desktop's own checker reads it, for every path the format can hold.
TEST(AutostartInstaller, TheDesktopsCheckerAcceptsTheEntryForEveryPath) {
  for (const char* folder : {"plain", "a b", "50%h $HOME", "a\"b", "a\\b", "zażółć", "a'b;c"}) {
    TempDir dir;
    RecordingSystemctl runner;
    runner.analyze = [](const std::vector<std::string>&) { return CommandResult{0, {}}; };
    const auto program = dir.path / folder / "tavlo-host";
    ASSERT_EQ(installAutostart(planIn(dir.path, false, program), runner), std::nullopt) << folder;
    const auto entry = dir.path / "autostart" / autostartEntryName(AutostartUnitKind::plain);
    ProcessCommandRunner real;
    const CommandResult verdict = real.run({"desktop-file-validate", entry.string()});
    EXPECT_EQ(verdict.exitCode, 0) << folder << ": " << verdict.output << "\n" << readFile(entry);
    EXPECT_EQ(verdict.output.find("error"), std::string::npos) << folder << ": " << verdict.output;
  }
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
    auto failure = installAutostart({units, dir.path / "autostart", program, "0.1/1", true}, runner);
    const auto unit = units / autostartUnitName(AutostartUnitKind::keepRunning);
    if (!c.expressible) {
      ASSERT_TRUE(failure) << c.why;
      EXPECT_NE(failure->find("cannot be expressed in a systemd unit"), std::string::npos) << *failure;
      EXPECT_FALSE(std::filesystem::exists(unit)) << c.why;
      EXPECT_TRUE(runner.calls.empty()) << c.why;
      EXPECT_FALSE(std::filesystem::exists(dir.path / "autostart")) << c.why << ": nothing of the registration";
      continue;
    }
    ASSERT_EQ(failure, std::nullopt) << c.why;
    ASSERT_EQ(runner.verified.size(), 1u) << c.why;
    const CommandResult verdict = realSystemdAnalyze({"systemd-analyze", "--user", "verify", "--man=no", unit.string()});
    EXPECT_EQ(verdict.exitCode, 0) << c.why << ": " << verdict.output << "\n" << readFile(unit);
  }
}

TEST(AutostartInstaller, AUnitSystemdRefusesIsNotWritten) {
  TempDir dir;
  RecordingSystemctl runner;
  const std::string keep(autostartUnitName(AutostartUnitKind::keepRunning));
  runner.analyze = [&](const std::vector<std::string>& argv) {
    return CommandResult{1, argv.back() + ":8: Executable name contains special characters"};
  };
  auto failure = installAutostart(planIn(dir.path, true), runner);
  ASSERT_TRUE(failure);
  EXPECT_NE(failure->find("systemd refuses " + keep + ": "), std::string::npos) << *failure;
  EXPECT_NE(failure->find("Executable name contains special characters"), std::string::npos) << *failure;
  EXPECT_FALSE(std::filesystem::exists(dir.path / "systemd/user" / keep));
  EXPECT_TRUE(runner.calls.empty());
  EXPECT_FALSE(std::filesystem::exists(runner.verified.at(0)));  // the private copy is gone

  // A manager that cannot start (no runtime folder) gives no verdict on the unit: it is installed.
  runner.analyze = [](const std::vector<std::string>&) {
    return CommandResult{1, "Failed to initialize manager: No such device or address"};
  };
  EXPECT_EQ(installAutostart(planIn(dir.path, true), runner), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(dir.path / "systemd/user" / keep));
}

}  // namespace
}  // namespace tavlo
