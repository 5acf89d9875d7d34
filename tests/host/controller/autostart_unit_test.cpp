#include "host/controller/autostart_unit.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

TEST(AutostartUnit, KeepRunningRestartsAfterEveryExitAndPlainNever) {
  auto keep = renderAutostartUnit(AutostartUnitKind::keepRunning, "/opt/tavlo/bin/tavlo-host", "1.2");
  auto plain = renderAutostartUnit(AutostartUnitKind::plain, "/opt/tavlo/bin/tavlo-host", "1.2");
  ASSERT_TRUE(keep && plain);
  EXPECT_NE(keep->find("ExecStart=\"/opt/tavlo/bin/tavlo-host\"\n"), std::string::npos);
  EXPECT_NE(keep->find("Restart=always\n"), std::string::npos);
  EXPECT_NE(plain->find("Restart=no\n"), std::string::npos);
  EXPECT_EQ(plain->find("Restart=always"), std::string::npos);
  EXPECT_NE(plain->find("X-Tavlo-Version=1.2\n"), std::string::npos);
  EXPECT_NE(autostartUnitName(AutostartUnitKind::plain), autostartUnitName(AutostartUnitKind::keepRunning));
}

TEST(AutostartUnit, RefusesPathsAndVersionsThatWouldBreakTheUnitFile) {
  EXPECT_FALSE(renderAutostartUnit(AutostartUnitKind::plain, "/opt/x\nExecStartPre=/bin/evil", "1"));
  EXPECT_FALSE(renderAutostartUnit(AutostartUnitKind::plain, "/opt/x", "1\n[Service]"));
  auto odd = renderAutostartUnit(AutostartUnitKind::plain, "/home/a b/%h/$X/\xff\xc3\xa9", "1");
  ASSERT_TRUE(odd);
  EXPECT_NE(odd->find("ExecStart=\"/home/a b/%%h/$X/\\xff\xc3\xa9\"\n"), std::string::npos) << *odd;
  EXPECT_FALSE(renderAutostartUnit(AutostartUnitKind::plain, "/home/a\"b", "1"));
}

TEST(AutostartUnit, UserUnitDirectoryPrefersAnAbsoluteXdgConfigHome) {
  EXPECT_EQ(userUnitDirectory("/x/cfg", "/home/u"), std::filesystem::path("/x/cfg/systemd/user"));
  EXPECT_EQ(userUnitDirectory("relative", "/home/u"), std::filesystem::path("/home/u/.config/systemd/user"));
  EXPECT_EQ(userUnitDirectory(nullptr, nullptr), std::nullopt);
}

}  // namespace
}  // namespace tavlo
