// Creating, moding and re-creating the virtual display on a window server that behaves like the real
// one: sizes in millimetres, verified modes, retries on the fake clock, escalation to a new identity.
#include "tests/host/desktop/sim_display_fixture.hpp"

namespace tavlo {
namespace {

using Substitution = SimWindowServer::Substitution;

class VirtualDisplayModes : public testkit::SimDisplayFixture {};

TEST_F(VirtualDisplayModes, CreatesAHiDPIDisplaySizedInMillimetresAndCountsItsFirstMode) {
  auto provided = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(provided);
  EXPECT_EQ(*provided, (vela::ProvidedDisplay{provided->displayID, 2360, 1640}));
  const auto descriptor = server->descriptor(provided->displayID);
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(descriptor->name, "Tavlo Display");
  EXPECT_NEAR(descriptor->widthMm, 285.4, 0.05);
  EXPECT_NEAR(descriptor->heightMm, 198.4, 0.05);
  EXPECT_EQ(descriptor->maxPixelsWide, 8192u);
  EXPECT_EQ(server->currentMode(provided->displayID), (DisplayMode{1180, 820, 2360, 1640, 60.0}));
  EXPECT_EQ(controller.reModeCount(), 1);
  EXPECT_EQ(elapsedUs(), 50'000u);  // one poll found the mode

  // Asking again returns the same display with the new sizes and touches nothing; so does the same mode.
  EXPECT_EQ(controller.createDisplay(1000, 700), (vela::ProvidedDisplay{provided->displayID, 1000, 700}));
  EXPECT_TRUE(controller.applyMode(2360, 1640, 0, 0));
  EXPECT_EQ(server->applyCount(), 1);
  EXPECT_EQ(controller.reModeCount(), 1);
  EXPECT_TRUE(controller.applyMode(2732, 2048, 0, 0));
  EXPECT_TRUE(controller.applyMode(2732, 2048, 0, 0));
  EXPECT_EQ(controller.reModeCount(), 2);

  controller.destroy();
  EXPECT_FALSE(controller.isActive());
  EXPECT_EQ(controller.reModeCount(), 0);
  EXPECT_FALSE(server->exists(provided->displayID));
  ASSERT_TRUE(controller.createDisplay(2360, 1640));
  EXPECT_EQ(controller.reModeCount(), 1);
}

TEST_F(VirtualDisplayModes, WithoutADisplayModeOperationsAnswerNo) {
  EXPECT_FALSE(controller.applyMode(2360, 1640, 2360, 1640));
  EXPECT_FALSE(controller.modeRequiresRecreate(2360, 1640, 2360, 1640));
  EXPECT_FALSE(controller.setAsMainDisplay());
  EXPECT_TRUE(controller.isolationSettled());
  EXPECT_FALSE(controller.displayID());
}

TEST_F(VirtualDisplayModes, CreationIsTriedThreeTimesWithPausesOnTheClock) {
  server->failCreations(2);
  ASSERT_TRUE(controller.createDisplay(2360, 1640));
  EXPECT_EQ(elapsedUs(), 1'200'000u + 2'500'000u + 50'000u);

  controller.destroy();
  const uint64_t before = clock.nowUs();
  server->failCreations(3);
  EXPECT_FALSE(controller.createDisplay(2360, 1640));
  EXPECT_EQ(clock.nowUs() - before, 3'700'000u);
  EXPECT_FALSE(controller.isActive());
}

TEST_F(VirtualDisplayModes, AModeThatAppearsLateIsAwaitedLongerWhileTheServerReconfigures) {
  // A live mode missing during reconfiguration extends the wait by 40 polls: a mode that shows after
  // 1.5 s is still verified on a new display.
  server->setModeDelay(1'500'000, 1'000'000);
  ASSERT_TRUE(controller.createDisplay(2360, 1640));
  EXPECT_EQ(elapsedUs(), 1'500'000u);

  // A width change gets 40 polls; a change of height only 16, after which it counts as refused.
  server->setModeDelay(1'900'000, 0);
  EXPECT_TRUE(controller.applyMode(2732, 2048, 0, 0));
  EXPECT_FALSE(controller.applyMode(2732, 1900, 0, 0));
  EXPECT_TRUE(loggedLine("🔬 applyVerified FAIL: chcę 1366×950 px=2732 (hiDPI=true, mm=285.447619047619×198.36190476190475,"
                         " ppi=121); WindowServer ma 1366×1024 px=2732×2048"));
  EXPECT_TRUE(loggedLine("🔬 lista trybów WindowServera (1): 1366×1024@2732px"));
  EXPECT_EQ(controller.reModeCount(), 2);
}

TEST_F(VirtualDisplayModes, AHiDPIModeServedAs1xIsNeverTakenAsVerified) {
  server->setSubstitution(Substitution::hiDPIAs1x);
  EXPECT_FALSE(controller.createDisplay(2360, 1640));
  EXPECT_EQ(server->createdCount(), 3);
  EXPECT_EQ(server->releasedCount(), 3);
  EXPECT_TRUE(loggedFragment("WindowServer ma 1180×820 px=1180×820"));
}

TEST_F(VirtualDisplayModes, Force1xGivesA1xModeAndFallsBackToHiDPIWhenTheServerRefusesIt) {
  VirtualDisplayController::setActiveForce1x(true);
  auto provided = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(provided);
  EXPECT_EQ(server->currentMode(provided->displayID)->pixelWidth, 1180);
  controller.destroy();

  server->setSubstitution(Substitution::oneXAsHiDPI);
  provided = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(provided);
  EXPECT_EQ(server->currentMode(provided->displayID)->pixelWidth, 2360);
  EXPECT_EQ(controller.reModeCount(), 1);
}

TEST_F(VirtualDisplayModes, APortraitDisplayIs190MmWideAndTakesOnlyMidDensityLandscapeModes) {
  auto provided = controller.createDisplay(1640, 2360);
  ASSERT_TRUE(provided);
  EXPECT_DOUBLE_EQ(server->descriptor(provided->displayID)->widthMm, 190.0);
  EXPECT_FALSE(controller.modeRequiresRecreate(1180, 1700, 0, 0));
  EXPECT_FALSE(controller.modeRequiresRecreate(2360, 1640, 0, 0));  // 1180 points on 190 mm: 158 ppi
  EXPECT_TRUE(controller.modeRequiresRecreate(2732, 2048, 0, 0));   // 1366 points: 183 ppi
}

TEST_F(VirtualDisplayModes, RecreationMakesANewDisplaySizedForTheMode) {
  auto first = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(first);
  controller.applyMode(2732, 2048, 0, 0);
  auto second = controller.recreateForMode(1640, 2360, 1640, 2360);
  ASSERT_TRUE(second);
  EXPECT_NE(second->displayID, first->displayID);
  EXPECT_FALSE(server->exists(first->displayID));
  EXPECT_DOUBLE_EQ(server->descriptor(second->displayID)->widthMm, 190.0);
  EXPECT_EQ(controller.reModeCount(), 1);
  EXPECT_EQ(controller.displayID(), second->displayID);
}

TEST_F(VirtualDisplayModes, ARecreatedDisplayWhoseModeIsStillRefusedGetsANewIdentity) {
  auto first = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(first);
  const uint32_t serial = server->descriptor(first->displayID)->serialNumber;
  server->refuseModesOnSerial(serial);
  auto second = controller.recreateForMode(2732, 2048, 2732, 2048);
  ASSERT_TRUE(second);
  EXPECT_TRUE(loggedLine("♻️ eskalacja: nowa tożsamość ekranu (serial) — tryb podstawiany mimo recreate"));
  EXPECT_NE(server->descriptor(second->displayID)->serialNumber, serial);
  EXPECT_EQ(server->createdCount(), 3);
  EXPECT_EQ(server->releasedCount(), 2);  // the first display and the refused one
  EXPECT_EQ(server->currentMode(second->displayID)->pixelWidth, 2732);
  EXPECT_EQ(controller.reModeCount(), 1);
}

TEST_F(VirtualDisplayModes, RecreationFallsBackToTheClientPanelsOwnSize) {
  ASSERT_TRUE(controller.createDisplay(2360, 1640));
  server->failCreations(1);
  auto provided = controller.recreateForMode(2732, 2048, 2048, 1536);
  ASSERT_TRUE(provided);
  EXPECT_EQ(provided->pixelWidth, 2732);
  EXPECT_NEAR(server->descriptor(provided->displayID)->widthMm, 1024 / 105.0 * 25.4, 1e-9);
  EXPECT_EQ(server->currentMode(provided->displayID)->pixelWidth, 2048);

  server->failCreations(2);
  EXPECT_FALSE(controller.recreateForMode(2732, 2048, 2048, 1536));
  EXPECT_FALSE(controller.isActive());
}

TEST_F(VirtualDisplayModes, TheMainDisplayMovesToTheVirtualOneAndBack) {
  auto provided = controller.createDisplay(2360, 1640);
  ASSERT_TRUE(provided);
  ASSERT_TRUE(controller.setAsMainDisplay());
  EXPECT_EQ(server->mainDisplay(), provided->displayID);
  EXPECT_EQ(server->bounds(builtIn)->x, 1180);  // right of the virtual display's 1180 points
  EXPECT_TRUE(controller.setAsMainDisplay());
  EXPECT_EQ(server->configurationCount(), 1);

  controller.destroy();
  EXPECT_EQ(server->mainDisplay(), builtIn);
  EXPECT_EQ(server->bounds(builtIn)->x, 0);

  ASSERT_TRUE(controller.createDisplay(2360, 1640));
  server->setConfigurationRefused(true);
  EXPECT_FALSE(controller.setAsMainDisplay());
}

}  // namespace
}  // namespace tavlo
