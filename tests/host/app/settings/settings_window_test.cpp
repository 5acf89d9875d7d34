#include <gtest/gtest.h>

#include <QTest>

#include "host/app/settings/settings_values.hpp"
#include "tests/host/app/settings/settings_test_kit.hpp"

namespace tavlo {
namespace {

using settingstest::SettingsRig;
using Pane = SettingsPane;

std::vector<Pane> panes(std::initializer_list<Pane> list) { return list; }

TEST(SettingsPanes, OnlyTheSixNamesMakeAPane) {
  EXPECT_EQ(settingsPaneNamed("Network"), Pane::network);
  EXPECT_EQ(settingsPaneNamed("Diagnostics"), Pane::diagnostics);
  EXPECT_EQ(settingsPaneNamed("network"), std::nullopt);
  EXPECT_EQ(settingsPaneNamed(""), std::nullopt);
}

TEST(SettingsWindow, SearchTrimsSpacesAndListsTheTitlesThatContainIt) {
  SettingsRig s;
  auto& w = *s.window;
  EXPECT_EQ(w.listedPanes(), panes({Pane::general, Pane::network, Pane::shortcuts, Pane::updates, Pane::diagnostics}));
  w.search()->setText("  DI ");
  EXPECT_EQ(w.listedPanes(), panes({Pane::diagnostics}));  // Display is not listed without a client
  s.controller->clientConnected.set(true);
  EXPECT_EQ(w.listedPanes(), panes({Pane::display, Pane::diagnostics}));
  w.search()->setText("x");
  EXPECT_TRUE(w.listedPanes().empty());
  w.search()->setText("\tdi");
  EXPECT_EQ(w.listedPanes(), panes({Pane::display, Pane::diagnostics}));
  w.search()->setText("di\n");  // a newline is not trimmed
  EXPECT_TRUE(w.listedPanes().empty());
  w.search()->clear();
  EXPECT_EQ(w.listedPanes().size(), 6u);
}

TEST(SettingsWindow, ChoosingAPaneAfterSteppingBackDropsTheForwardHistory) {
  SettingsRig s;
  auto& w = *s.window;
  EXPECT_FALSE(w.backButton()->isEnabled());
  w.sidebar()->setCurrentRow(1);  // Network
  w.select(Pane::updates);
  EXPECT_EQ(w.heading()->text(), "Updates");
  QTest::mouseClick(w.backButton(), Qt::LeftButton);
  QTest::mouseClick(w.backButton(), Qt::LeftButton);
  EXPECT_EQ(w.selection(), Pane::general);
  EXPECT_TRUE(w.forwardButton()->isEnabled());
  QTest::mouseClick(w.forwardButton(), Qt::LeftButton);
  EXPECT_EQ(w.selection(), Pane::network);
  QTest::mouseClick(w.backButton(), Qt::LeftButton);
  w.select(Pane::shortcuts);
  EXPECT_EQ(w.navigation().history(), panes({Pane::general, Pane::shortcuts}));
  EXPECT_FALSE(w.forwardButton()->isEnabled());
  EXPECT_EQ(w.sidebar()->currentItem()->text(), "Shortcuts");
}

TEST(SettingsWindow, ADisconnectLeavesTheDisplayPaneAndBackStillReturnsToIt) {
  SettingsRig s;
  auto& w = *s.window;
  s.controller->clientConnected.set(true);
  w.select(Pane::display);
  s.controller->clientConnected.set(false);
  EXPECT_EQ(w.selection(), Pane::general);
  EXPECT_EQ(w.listedPanes().size(), 5u);
  w.goBack();
  EXPECT_EQ(w.selection(), Pane::display);  // history is never filtered
  EXPECT_EQ(w.sidebar()->currentRow(), -1);
}

TEST(SettingsWindow, StartAtLoginOffTurnsKeepRunningOffAndStoresBoth) {
  SettingsRig s;
  GeneralPane& g = *s.window->generalPane();
  EXPECT_EQ(g.section->header(), "Startup");
  EXPECT_TRUE(g.section->footer().contains("this computer reachable right after you log in"));
  EXPECT_TRUE(g.startAtLogin->isChecked());
  EXPECT_TRUE(g.keepRunning->isChecked());
  EXPECT_TRUE(g.approvalWarning->isHidden());

  g.startAtLogin->click();
  EXPECT_EQ(s.enforced, (std::vector<std::pair<bool, bool>>{{false, false}}));  // one registration, not two
  EXPECT_EQ(s.rig.settings.getBool("tl.autostartLogin"), false);
  EXPECT_EQ(s.rig.settings.getBool("tl.autostartKeepRunning"), false);
  EXPECT_FALSE(g.keepRunning->isChecked());
  EXPECT_FALSE(g.keepRunning->isEnabled());

  g.startAtLogin->click();
  g.keepRunning->click();
  EXPECT_EQ(s.enforced.back(), std::make_pair(true, true));
  EXPECT_TRUE(g.keepRunning->isChecked());
}

TEST(SettingsWindow, AFailedRegistrationShowsItsErrorAndTheRegisteredStates) {
  SettingsRig s;
  GeneralPane& g = *s.window->generalPane();
  s.registeredKeepRunning = false;
  s.needsApproval = true;
  g.rereadAutostart();
  EXPECT_FALSE(g.keepRunning->isChecked());
  EXPECT_FALSE(g.approvalWarning->isHidden());
  EXPECT_TRUE(g.approvalWarning->text().contains("Enable Tavlo Host there."));

  s.enforceError = "agent refused";
  g.keepRunning->click();
  EXPECT_EQ(g.autostartError->text(), "agent refused");
  EXPECT_FALSE(g.autostartError->isHidden());
  EXPECT_FALSE(g.keepRunning->isChecked());  // the registered state, not the wish
  s.enforceError.reset();
  g.keepRunning->click();
  EXPECT_TRUE(g.autostartError->isHidden());
  EXPECT_EQ(s.enforced.size(), 2u);
}

// A user manager that takes its time: the pane goes on meanwhile, takes no second registration while
// one is under way, drops a read that a registration overtook and shows the system's answer when it comes.
TEST(SettingsWindow, TheGeneralPaneWaitsForTheSystemsAnswersWithoutHoldingTheWindow) {
  SettingsRig s;
  GeneralPane& g = *s.window->generalPane();
  s.holdAnswers = true;
  s.registeredLogin = false;
  s.registeredKeepRunning = false;
  g.rereadAutostart();  // asked, not yet answered
  EXPECT_TRUE(g.startAtLogin->isChecked()) << "what was shown stays until the answer";

  g.keepRunning->click();  // off: the registration is under way
  EXPECT_EQ(s.enforced, (std::vector<std::pair<bool, bool>>{{true, false}}));
  EXPECT_EQ(s.rig.settings.getBool("tl.autostartKeepRunning"), false) << "the wish is stored at once";
  EXPECT_FALSE(g.startAtLogin->isEnabled());
  EXPECT_FALSE(g.keepRunning->isEnabled());
  g.startAtLogin->click();
  EXPECT_EQ(s.enforced.size(), 1u) << "no second registration while the first one waits";

  ASSERT_EQ(s.heldAnswers.size(), 2u);
  auto staleRead = std::move(s.heldAnswers.front());
  s.heldAnswers.erase(s.heldAnswers.begin());
  staleRead();  // login off, as the system had it before the registration
  EXPECT_TRUE(g.startAtLogin->isChecked()) << "a read the registration overtook is not shown";
  EXPECT_FALSE(g.startAtLogin->isEnabled());
  s.answerAll();  // the registration, and the read it asks for
  EXPECT_TRUE(g.startAtLogin->isEnabled());
  EXPECT_TRUE(g.startAtLogin->isChecked());
  EXPECT_FALSE(g.keepRunning->isChecked());
  EXPECT_TRUE(g.keepRunning->isEnabled());
  EXPECT_TRUE(s.heldAnswers.empty());

  // The window may go before the system answers.
  g.keepRunning->click();
  ASSERT_FALSE(s.heldAnswers.empty());
  s.window.reset();
  s.answerAll();
}

TEST(SettingsWindow, DisplayPaneScalesUnlessAMacClientSetsItsOwn) {
  SettingsRig s;
  DisplayPane& d = *s.window->displayPane();
  EXPECT_EQ(d.section->header(), "Remote desktop resolution");
  EXPECT_TRUE(d.macRow->isHidden());
  EXPECT_EQ(d.scaleValue->text(), "Retina 1:1");
  s.controller->clientPlatform.set(vela::Platform::mac);
  EXPECT_FALSE(d.macRow->isHidden());
  EXPECT_TRUE(d.scaleControls->isHidden());
  EXPECT_NE(d.macRow->findChildren<QLabel*>().back()->text().indexOf("controlled by the client Mac"), -1);
}

TEST(SettingsWindow, TheScaleSliderFollowsTheDragAndCommitsAtRelease) {
  SettingsRig s;
  DisplayPane& d = *s.window->displayPane();
  QSlider* slider = d.scaleSlider->slider();
  slider->setSliderDown(true);
  slider->setValue(2);
  EXPECT_EQ(d.scaleValue->text(), "×1.25 (more space)");
  EXPECT_DOUBLE_EQ(s.controller->scale.get(), 1.25);
  EXPECT_FALSE(s.rig.settings.getDouble("tl.scale"));  // nothing stored while moving
  slider->setSliderDown(false);  // released where the drag already set the scale
  EXPECT_EQ(s.rig.settings.getDouble("tl.scale"), 1.25);
  EXPECT_DOUBLE_EQ(s.controller->scale.get(), 1.25);
}

// A disconnect takes the Display pane away under a held knob: the scale dragged to is stored as at a
// release, not left published but neither stored nor applied.
TEST(SettingsWindow, AScaleDragThatADisconnectInterruptsEndsLikeARelease) {
  SettingsRig s;
  s.controller->clientConnected.set(true);
  s.window->showPane(SettingsPane::display);
  QSlider* slider = s.window->displayPane()->scaleSlider->slider();
  slider->setSliderDown(true);
  slider->setValue(2);
  s.controller->clientConnected.set(false);
  EXPECT_EQ(s.window->selection(), Pane::general);
  EXPECT_FALSE(slider->isSliderDown());
  EXPECT_EQ(s.rig.settings.getDouble("tl.scale"), 1.25);
  EXPECT_DOUBLE_EQ(s.controller->scale.get(), 1.25);
  s.window->hide();
}

TEST(SettingsValues, LabelsOfScaleBufferAndKeyframe) {
  EXPECT_EQ(scaleLabel(1.0), "Retina 1:1");
  EXPECT_EQ(scaleLabel(1.001), "Retina 1:1");
  EXPECT_EQ(scaleLabel(1.25), "×1.25 (more space)");
  EXPECT_EQ(scaleLabel(2.0), "×2.00 (more space)");
  EXPECT_EQ(bufferLabel(0), "off (combat mode)");
  EXPECT_EQ(bufferLabel(50), "up to 50 ms");
  EXPECT_EQ(keyframeIntervalLabel(3.0), "3.00 s");
}

// The event-posting row says what the watchdog found, as it changes: granted while the input reaches
// the desktop, else the warning, the "Grant" button (which asks the X server again) and what to do here.
TEST(SettingsWindow, TheEventPostingRowFollowsInputBlockedAndSaysWhatToDo) {
  SettingsRig s;
  s.window->showPane(SettingsPane::diagnostics);
  DiagnosticsPane& d = *s.window->diagnosticsPane();
  QWidget* row = d.eventPostingRow;
  auto mark = [&] { return row->findChild<QLabel*>("mark")->text(); };
  auto shown = [&](const char* part) { return row->findChild<QWidget*>(part)->isVisible(); };
  EXPECT_EQ(mark(), "✔");
  EXPECT_TRUE(shown("granted"));
  EXPECT_FALSE(shown("grant"));
  EXPECT_FALSE(shown("hint"));

  s.controller->inputBlocked.set(true);
  EXPECT_EQ(mark(), "⚠");
  EXPECT_FALSE(shown("granted"));
  EXPECT_TRUE(shown("grant"));
  EXPECT_TRUE(shown("hint"));
  EXPECT_TRUE(row->findChild<QLabel*>("hint")->text().contains("XTEST"));
  EXPECT_TRUE(d.screenRecordingRow->findChild<QWidget*>("granted")->isVisible()) << "only event posting is blocked";
  row->findChild<QPushButton*>("grant")->click();
  EXPECT_EQ(s.eventPostingRequests, 1);

  s.controller->inputBlocked.set(false);
  EXPECT_EQ(mark(), "✔");
  EXPECT_TRUE(shown("granted"));
  EXPECT_FALSE(shown("hint"));
}

TEST(SettingsWindow, TheWindowIsTitledTavloSettingsOnEveryPane) {
  SettingsRig s;
  for (SettingsPane pane : {Pane::general, Pane::network, Pane::diagnostics}) {
    s.window->showPane(pane);
    EXPECT_EQ(s.window->windowTitle(), "Tavlo — Settings");
    EXPECT_EQ(s.window->heading()->text(), settingsPaneTitle(pane));
  }
}

TEST(SettingsWindow, UpdatesPaneShowsVersionStatusAndChecksThroughTheUpdater) {
  SettingsRig s;
  UpdatesPane& u = *s.window->updatesPane();
  EXPECT_EQ(u.version->text(), "1.4 (140)");
  EXPECT_EQ(u.status->text(), "Checks at launch and every 24 h");
  EXPECT_TRUE(u.section->footer().endsWith("Channel: updates.tavlo.example."));
  s.controller->updateStatus.set("🔄 Up to date");
  EXPECT_EQ(u.status->text(), "🔄 Up to date");
  u.checkNow->click();
  EXPECT_EQ(s.updateChecks, 1);

  SettingsRig none(false);
  EXPECT_FALSE(none.window->updatesPane()->checkNow->isEnabled());
}

// Lines with numbers first..last.
std::vector<std::string> numberedLines(int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) lines.push_back("line " + std::to_string(i));
  return lines;
}

TEST(SettingsWindow, DiagnosticsPaneShowsTheLast40LogLinesAndTogglesThePanel) {
  SettingsRig s;
  DiagnosticsPane& d = *s.window->diagnosticsPane();
  EXPECT_EQ(d.sections[0]->header(), "Permissions");
  EXPECT_TRUE(d.screenRecordingRow->findChild<QPushButton*>("grant")->isHidden());
  s.controller->logLines.set(numberedLines(1, 100));
  s.window->showPane(SettingsPane::diagnostics);
  const QStringList shown = d.log->toPlainText().split('\n');
  ASSERT_EQ(shown.size(), 40);
  EXPECT_EQ(shown.front(), "line 61");
  EXPECT_EQ(shown.back(), "line 100");
  d.toggleHud->click();
  EXPECT_EQ(s.hudToggles, 1);
}

// A flood of lines costs the Qt thread no redraw per line: none while the pane is hidden, and one for a
// whole burst while it is shown.
TEST(SettingsWindow, TheLogPaneRedrawsABurstOnceAndNothingWhileHidden) {
  SettingsRig s;
  DiagnosticsPane& d = *s.window->diagnosticsPane();
  s.window->showPane(SettingsPane::diagnostics);
  s.controller->logLines.set(numberedLines(1, 1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.log->toPlainText() == "line 1"; }, 5000));

  for (int last = 2; last <= 500; ++last) s.controller->logLines.set(numberedLines(last - 99, last));
  EXPECT_EQ(d.log->toPlainText(), "line 1") << "a burst is not redrawn line by line";
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.log->toPlainText().endsWith("line 500"); }, 5000));

  s.window->hide();
  for (int last = 501; last <= 900; ++last) s.controller->logLines.set(numberedLines(last - 99, last));
  QCoreApplication::processEvents();
  EXPECT_TRUE(d.log->toPlainText().endsWith("line 500")) << "a hidden pane is not redrawn";
  s.window->showPane(SettingsPane::diagnostics);
  EXPECT_TRUE(d.log->toPlainText().endsWith("line 900")) << "shown again, it is up to date at once";
}

}  // namespace
}  // namespace tavlo
