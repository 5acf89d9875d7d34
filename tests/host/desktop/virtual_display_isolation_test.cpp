// Switching the physical displays off for a stream and back on: verified passes, the persisted list,
// re-disables of displays that come back, recovery at launch, and the guards against leaving the
// desktop without a screen.
#include <thread>

#include "tests/host/desktop/sim_display_fixture.hpp"

namespace tavlo {
namespace {

class DisplayIsolation : public testkit::SimDisplayFixture {
 protected:
  DisplayId createVirtual() {
    auto provided = controller.createDisplay(2360, 1640);
    EXPECT_TRUE(provided);
    return provided ? provided->displayID : 0;
  }
};

TEST_F(DisplayIsolation, SwitchesTheOthersOffAfterStoringThem) {
  const DisplayId virtualId = createVirtual();
  std::vector<uint32_t> storedWhenSwitching;
  server->setOnConfiguration([&] { storedWhenSwitching = storedList(); });
  server->refuseSwitchOff(external, 2);
  EXPECT_FALSE(controller.isolationSettled());

  controller.isolatePhysicalDisplays();
  EXPECT_EQ(storedWhenSwitching, (std::vector<uint32_t>{builtIn, external}));
  EXPECT_EQ(server->onlineDisplays(), std::vector<DisplayId>{virtualId});
  EXPECT_TRUE(controller.isolationSettled());
  EXPECT_EQ(logged(), (std::vector<std::string>{"🖥 ekrany 2 nadal podłączone — ponawiam (1/4)",
                                                "🖥 ekrany 2 nadal podłączone — ponawiam (2/4)"}));
  EXPECT_EQ(elapsedUs(), 50'000u + 3 * 350'000u);

  EXPECT_TRUE(controller.restorePhysicalDisplays());
  EXPECT_TRUE(server->isOnline(builtIn) && server->isOnline(external));
  EXPECT_FALSE(settings.contains(kIsolatedDisplayIDsKey));
}

TEST_F(DisplayIsolation, WithNothingElseOnlineNothingIsSwitchedOrStored) {
  createVirtual();
  server->setOnline(builtIn, false);
  server->setOnline(external, false);
  controller.isolatePhysicalDisplays();
  EXPECT_EQ(server->configurationCount(), 0);
  EXPECT_FALSE(settings.contains(kIsolatedDisplayIDsKey));
  EXPECT_FALSE(controller.restorePhysicalDisplays());
  EXPECT_TRUE(logged().empty());
}

TEST_F(DisplayIsolation, TheVirtualDisplayNotYetOnlineCountsAsSettledAndIsNotIsolatedFor) {
  const DisplayId virtualId = createVirtual();
  server->setOnline(virtualId, false);
  EXPECT_TRUE(controller.isolationSettled());
  controller.isolatePhysicalDisplays();
  controller.enforceIsolation();
  EXPECT_EQ(server->configurationCount(), 0);
}

TEST_F(DisplayIsolation, ReIsolationKeepsTheDisplaysThatAreStillOff) {
  createVirtual();
  controller.isolatePhysicalDisplays();
  // A display plugged in while the first two are off, then isolation again (a new session, a re-created
  // display): the list must still hold the first two, or they would never be switched back on.
  const DisplayId plugged = server->addPhysicalDisplay(1280, 1024);
  controller.isolatePhysicalDisplays();
  EXPECT_EQ(storedList(), (std::vector<uint32_t>{builtIn, external, plugged}));
  EXPECT_TRUE(controller.restorePhysicalDisplays());
  EXPECT_TRUE(server->isOnline(builtIn) && server->isOnline(external) && server->isOnline(plugged));
}

TEST_F(DisplayIsolation, AFailedRestoreIsReportedKeepsTheListAndKeepsTheOnlyScreen) {
  const DisplayId virtualId = createVirtual();
  controller.isolatePhysicalDisplays();
  server->refuseSwitchOn(builtIn, -1);
  server->refuseSwitchOn(external, -1);
  EXPECT_FALSE(controller.restorePhysicalDisplays());
  EXPECT_TRUE(loggedLine("🖥 NIE UDAŁO SIĘ przywrócić ekranów: 1,2"));
  EXPECT_EQ(storedList(), (std::vector<uint32_t>{builtIn, external}));

  // Teardown and quit destroy the display: it stays while it is the only one on.
  controller.destroy();
  EXPECT_TRUE(controller.isActive());
  EXPECT_TRUE(server->isOnline(virtualId));
  server->setOnline(builtIn, true);
  controller.destroy();
  EXPECT_FALSE(controller.isActive());
  EXPECT_EQ(storedList(), (std::vector<uint32_t>{builtIn, external}));  // for the next launch
}

TEST_F(DisplayIsolation, DisplaysThatComeBackAreSwitchedOffAgainAtMostEvery300Ms) {
  createVirtual();
  controller.isolatePhysicalDisplays();
  controller.enforceIsolation();
  controller.enforceIsolation();
  EXPECT_EQ(logged(), std::vector<std::string>{"🖥 izolacja: czysto (sam ekran wirtualny)"});

  server->setOnline(external, true);
  controller.enforceIsolation();
  EXPECT_TRUE(loggedLine("🖥 izolacja: wróciły ekrany 2 — wyłączam ponownie"));
  EXPECT_FALSE(server->isOnline(external));
  EXPECT_EQ(server->switchOffRequests(external), 2);

  server->setOnline(external, true);
  controller.enforceIsolation();
  EXPECT_EQ(server->switchOffRequests(external), 2);
  EXPECT_FALSE(controller.isolationSettled());
  clock.advanceUs(300'000);
  controller.enforceIsolation();
  EXPECT_EQ(server->switchOffRequests(external), 3);
  controller.enforceIsolation();
  EXPECT_EQ(logged().back(), "🖥 izolacja: czysto (sam ekran wirtualny)");
}

TEST_F(DisplayIsolation, TwoEnforcersAtOnceSwitchOffOnce) {
  createVirtual();
  controller.isolatePhysicalDisplays();
  server->setOnline(external, true);
  // The clock now stands still: the first enforcer stays in its settling pause until the test moves it.
  clock.setAdvanceOnWait(false);
  std::thread first([&] { controller.enforceIsolation(); });
  while (clock.waiterCount() < 1) std::this_thread::yield();
  controller.enforceIsolation();  // the watcher, while the capture path's re-disable runs
  EXPECT_EQ(server->switchOffRequests(external), 2);
  clock.advanceUs(250'000);
  first.join();
  EXPECT_EQ(server->switchOffRequests(external), 2);
  EXPECT_FALSE(server->isOnline(external));
}

TEST_F(DisplayIsolation, AfterARestoreNothingIsSwitchedOffUntilTheNextDisplay) {
  createVirtual();
  controller.isolatePhysicalDisplays();
  ASSERT_TRUE(controller.restorePhysicalDisplays());
  controller.enforceIsolation();
  EXPECT_TRUE(server->isOnline(builtIn) && server->isOnline(external));
  createVirtual();
  controller.enforceIsolation();
  EXPECT_FALSE(server->isOnline(builtIn) || server->isOnline(external));
}

TEST_F(DisplayIsolation, LaunchRecoverySwitchesTheStoredDisplaysOnAndForgetsThemOnlyWhenAllCameBack) {
  for (bool refused : {false, true}) {
    writeIsolatedDisplayIDs(settings, {builtIn, external});
    server->setOnline(builtIn, false);
    server->setOnline(external, false);
    server->refuseSwitchOn(external, refused ? -1 : 0);
    controller.recoverIsolationOnLaunch();
    EXPECT_TRUE(loggedLine("🖥 poprzednia sesja zostawiła wyłączone ekrany 1,2 — przywracam"));
    EXPECT_TRUE(server->isOnline(builtIn));
    EXPECT_EQ(server->isOnline(external), !refused);
    EXPECT_EQ(settings.contains(kIsolatedDisplayIDsKey), refused);
  }
}

TEST(IsolatedDisplayList, ReadsOnlyAnArrayOfIntegersAndOnlyValidIds) {
  struct Row {
    JsonValue stored;
    std::vector<uint32_t> want;
    const char* why;
  };
  const Row rows[] = {
      {JsonValue("1,2"), {}, "not an array"},
      {JsonValue::array({1, "2"}), {}, "not all integers"},
      {JsonValue::array({1.0, 2}), {}, "a double is not an integer"},
      {JsonValue::array({3, 0, -4, 4294967296LL, 4294967295LL, 3}), {3, 4294967295u}, "ids only, once each"},
  };
  for (const auto& row : rows) {
    Settings settings;
    settings.set(kIsolatedDisplayIDsKey, row.stored);
    EXPECT_EQ(readIsolatedDisplayIDs(settings), row.want) << row.why;
  }
  Settings empty;
  EXPECT_TRUE(readIsolatedDisplayIDs(empty).empty());
}

}  // namespace
}  // namespace tavlo
