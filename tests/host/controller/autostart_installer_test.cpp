#include "host/controller/autostart_installer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host/controller/autostart_unit.hpp"

namespace tavlo {
namespace {

class RecordingSystemctl final : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override {
    calls.push_back(argv);
    return {argv.size() > 2 && argv[2] == failVerb ? 1 : 0, {}};
  }
  std::vector<std::vector<std::string>> calls;
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

}  // namespace
}  // namespace tavlo
