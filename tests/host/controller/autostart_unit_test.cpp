#include "host/controller/autostart_unit.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

TEST(AutostartUnit, TheServiceRestartsAfterEveryExitButTheSessionsEndAndIsNotEnabledForATarget) {
  auto keep = renderKeepRunningUnit("/opt/tavlo/bin/tavlo-host", "1.2");
  ASSERT_TRUE(keep);
  EXPECT_NE(keep->find("ExecStart=\"/opt/tavlo/bin/tavlo-host\"\n"), std::string::npos);
  EXPECT_NE(keep->find("Restart=always\n"), std::string::npos);
  EXPECT_NE(keep->find("RestartPreventExitStatus=7\n"), std::string::npos) << "the session ended: no restart";
  EXPECT_EQ(keep->find("[Install]"), std::string::npos) << "started by the login entry's host, never by a target";
  EXPECT_NE(keep->find("X-Tavlo-Version=1.2\n"), std::string::npos);
  EXPECT_FALSE(renderKeepRunningUnit("/opt/x\nExecStartPre=/bin/evil", "1"));
  EXPECT_FALSE(renderKeepRunningUnit("/opt/x", "1\n[Service]"));
  auto odd = renderKeepRunningUnit("/home/a b/%h/$X/\xff\xc3\xa9", "1");
  ASSERT_TRUE(odd);
  EXPECT_NE(odd->find("ExecStart=\"/home/a b/%%h/$X/\\xff\xc3\xa9\"\n"), std::string::npos) << *odd;
  EXPECT_FALSE(renderKeepRunningUnit("/home/a\"b", "1"));
}

// The Exec line as a desktop reads it back: the value's escapes undone, then the quoting.
TEST(AutostartUnit, TheLoginEntryRunsTheExactPathThroughTheDesktopsQuotingRules) {
  struct Row {
    const char* path;
    const char* exec;
    const char* why;
  } rows[] = {
      {"/usr/bin/tavlo-host", "Exec=/usr/bin/tavlo-host\n", "plain paths stay bare"},
      {"/home/a b/tavlo-host", "Exec=\"/home/a b/tavlo-host\"\n", "a space needs quotes"},
      {"/x/50%/t", "Exec=/x/50%%/t\n", "a percent sign is a field code unless doubled"},
      {"/x/$HOME/t", "Exec=\"/x/\\\\$HOME/t\"\n", "a dollar sign is escaped inside quotes, its backslash doubled"},
      {"/x/a\"b/t", "Exec=\"/x/a\\\\\"b/t\"\n", "a double quote likewise"},
      {"/x/a\\b/t", "Exec=\"/x/a\\\\\\\\b/t\"\n", "a backslash escaped, then both doubled"},
  };
  for (const Row& row : rows) {
    auto entry = renderAutostartEntry(AutostartUnitKind::plain, row.path, "1");
    ASSERT_TRUE(entry) << row.why;
    EXPECT_NE(entry->find(row.exec), std::string::npos) << row.why << "\n" << *entry;
    EXPECT_EQ(entry->rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
  }
  EXPECT_FALSE(renderAutostartEntry(AutostartUnitKind::plain, "/x/a\nExec=/bin/evil", "1"));
  EXPECT_FALSE(renderAutostartEntry(AutostartUnitKind::plain, "relative/tavlo-host", "1"));
  EXPECT_FALSE(renderAutostartEntry(AutostartUnitKind::plain, "/x", "1\nExec=/bin/evil"));
  EXPECT_NE(autostartEntryName(AutostartUnitKind::plain), autostartEntryName(AutostartUnitKind::keepRunning));
}

TEST(AutostartUnit, FoldersPreferAnAbsoluteXdgConfigHome) {
  EXPECT_EQ(userUnitDirectory("/x/cfg", "/home/u"), std::filesystem::path("/x/cfg/systemd/user"));
  EXPECT_EQ(userUnitDirectory("relative", "/home/u"), std::filesystem::path("/home/u/.config/systemd/user"));
  EXPECT_EQ(userUnitDirectory(nullptr, nullptr), std::nullopt);
  EXPECT_EQ(userAutostartDirectory("/x/cfg", "/home/u"), std::filesystem::path("/x/cfg/autostart"));
  EXPECT_EQ(userAutostartDirectory(nullptr, "/home/u"), std::filesystem::path("/home/u/.config/autostart"));
}

}  // namespace
}  // namespace tavlo
