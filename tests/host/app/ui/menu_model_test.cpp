#include "host/app/ui/menu_model.hpp"

#include <gtest/gtest.h>

namespace tavlo::ui {
namespace {

std::vector<std::string> titles(const MenuState& state) {
  std::vector<std::string> out;
  for (const auto& entry : menuEntries(state)) {
    switch (entry.kind) {
      case MenuEntryKind::scaleSlider: out.push_back("[slider]"); break;
      case MenuEntryKind::separator: out.push_back("---"); break;
      default: out.push_back(entry.title);
    }
  }
  return out;
}

using Titles = std::vector<std::string>;

MenuState client(std::optional<vela::Platform> platform) {
  MenuState state;
  state.clientConnected = true;
  state.clientPlatform = platform;
  return state;
}

TEST(MenuEntries, ItemsInOrderForEachState) {
  MenuState none;
  EXPECT_EQ(titles(none), (Titles{"---", "Settings…", "Quit"}));

  MenuState computer = client(vela::Platform::mac);
  EXPECT_EQ(titles(computer), (Titles{"---", "Settings…", "Quit"})) << "a computer client scales itself";

  for (auto platform : {vela::Platform::iPhone, vela::Platform::iPad, vela::Platform::vision}) {
    MenuState tablet = client(platform);
    EXPECT_EQ(titles(tablet), (Titles{"[slider]", "---", "Settings…", "Quit"}));
  }
  MenuState unknown = client(std::nullopt);
  EXPECT_EQ(titles(unknown).front(), "[slider]");

  MenuState alt = client(vela::Platform::iPad);
  alt.inputBlocked = true;
  alt.diagnosticsWanted = true;
  alt.altHeld = true;
  EXPECT_EQ(titles(alt), (Titles{"[slider]", "Diagnostics (HUD)", "⚠️ No Accessibility — mouse/keyboard won't work",
                                 "---", "Settings…", "Quit"}));
  EXPECT_TRUE(menuEntries(alt)[1].checked);
  EXPECT_EQ(menuEntries(alt).back().shortcut, "Ctrl+Q");
}

TEST(MenuEntries, DiagnosticsItemAfterARecentAltClickOrWhileThePanelShows) {
  MenuState s;
  s.nowNs = 10'000'000'000;
  s.lastOptionClickNs = 7'500'000'000;
  EXPECT_EQ(titles(s).front(), "Diagnostics (HUD)");
  s.lastOptionClickNs = 6'900'000'000;
  EXPECT_EQ(titles(s).front(), "---");
  s.lastOptionClickNs = 11'000'000'000;  // a stamp from the future is no recent click
  EXPECT_EQ(titles(s).front(), "---");
  s.diagnosticsPanelVisible = true;
  EXPECT_EQ(titles(s).front(), "Diagnostics (HUD)");
  EXPECT_FALSE(menuEntries(s).front().checked);
}

TEST(DisconnectChip, DeviceIconPerPlatformAndNoneForAHeadset) {
  EXPECT_EQ(disconnectChipIcon(false, vela::Platform::iPad), std::nullopt);
  EXPECT_EQ(disconnectChipIcon(true, vela::Platform::vision), std::nullopt);
  EXPECT_EQ(disconnectChipIcon(true, vela::Platform::iPad), "tablet");
  EXPECT_EQ(disconnectChipIcon(true, vela::Platform::iPhone), "phone");
  EXPECT_EQ(disconnectChipIcon(true, vela::Platform::mac), "computer");
  EXPECT_EQ(disconnectChipIcon(true, std::nullopt), "video-display");
}

}  // namespace
}  // namespace tavlo::ui
