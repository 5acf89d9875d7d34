#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QPushButton>
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
  EXPECT_FALSE(s.rig.settings.getBool("tl.autostartKeepRunning").value_or(false))
      << "a refused wish is not stored: the next start would only try it again";
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
  EXPECT_EQ(s.rig.settings.getBool("tl.autostartKeepRunning"), std::nullopt) << "stored once the system took it";
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
  EXPECT_EQ(s.rig.settings.getBool("tl.autostartKeepRunning"), false);
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
  EXPECT_EQ(d.scaleValue->text(), "HiDPI 1:1");
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
  EXPECT_EQ(scaleLabel(1.0), "HiDPI 1:1");
  EXPECT_EQ(scaleLabel(1.001), "HiDPI 1:1");
  EXPECT_EQ(scaleLabel(1.25), "×1.25 (more space)");
  EXPECT_EQ(scaleLabel(2.0), "×2.00 (more space)");
  EXPECT_EQ(bufferLabel(0), "off (combat mode)");
  EXPECT_EQ(bufferLabel(50), "up to 50 ms");
  EXPECT_EQ(keyframeIntervalLabel(3.0), "3.00 s");
}

// The Permissions section names what this host needs here, as the backend names it, with the real state:
// the capture check's answer (asked again each time the pane opens) and the input watch's verdict on
// XTEST, each with what to do while it is missing and a button that checks again.
TEST(SettingsWindow, TheNeedsOfThisDesktopShowTheirRealState) {
  SettingsRig s;
  s.window->showPane(SettingsPane::diagnostics);
  DiagnosticsPane& d = *s.window->diagnosticsPane();
  auto part = [](QWidget* row, const char* name) { return row->findChild<QWidget*>(name); };
  auto text = [](QWidget* row, const char* name) { return row->findChild<QLabel*>(name)->text(); };
  EXPECT_TRUE(d.captureRow->findChildren<QLabel*>().at(1)->text() == "X display to capture");
  EXPECT_TRUE(d.inputRow->findChildren<QLabel*>().at(1)->text() == "XTEST extension (the client's input)");
  EXPECT_EQ(text(d.captureRow, "mark"), "✔");
  EXPECT_EQ(text(d.captureRow, "state"), "display :7, MIT-SHM");
  EXPECT_FALSE(part(d.captureRow, "recheck")->isVisible());
  EXPECT_FALSE(part(d.captureRow, "remedy")->isVisible());
  EXPECT_EQ(text(d.inputRow, "mark"), "✔");
  EXPECT_EQ(text(d.inputRow, "state"), "Available");

  s.captureMet = false;
  s.captureFound = "no X display :7 to open";
  const int checks = s.captureChecks;
  s.window->showPane(SettingsPane::general);
  s.window->showPane(SettingsPane::diagnostics);
  EXPECT_GT(s.captureChecks, checks) << "checked again as the pane opens";
  EXPECT_EQ(text(d.captureRow, "mark"), "⚠");
  EXPECT_EQ(text(d.captureRow, "state"), "no X display :7 to open");
  EXPECT_TRUE(part(d.captureRow, "remedy")->isVisible());
  s.captureMet = true;
  d.captureRow->findChild<QPushButton*>("recheck")->click();
  EXPECT_EQ(text(d.captureRow, "mark"), "✔");

  s.controller->inputBlocked.set(true);
  EXPECT_EQ(text(d.inputRow, "mark"), "⚠");
  EXPECT_EQ(text(d.inputRow, "state"), "Missing");
  EXPECT_TRUE(part(d.inputRow, "remedy")->isVisible());
  EXPECT_TRUE(text(d.inputRow, "remedy").contains("XTEST"));
  EXPECT_EQ(text(d.captureRow, "mark"), "✔") << "only the input is missing";
  d.inputRow->findChild<QPushButton*>("recheck")->click();
  EXPECT_EQ(s.inputRechecks, 1);
  s.controller->inputBlocked.set(false);
  EXPECT_EQ(text(d.inputRow, "mark"), "✔");
  EXPECT_FALSE(part(d.inputRow, "recheck")->isVisible());
}

// No pane speaks of another platform's grants and displays.
TEST(SettingsWindow, NoPaneNamesAnotherPlatformsGrantsOrDisplays) {
  SettingsRig s;
  s.controller->clientConnected.set(true);
  s.controller->clientPlatform.set(vela::Platform::iPad);
  QStringList texts;
  for (QLabel* label : s.window->findChildren<QLabel*>()) texts << label->text();
  for (QAbstractButton* button : s.window->findChildren<QAbstractButton*>()) texts << button->text();
  for (const char* foreign : {"Retina", "Accessibility", "Screen recording", "granted separately", "Granted"}) {
    for (const QString& t : texts) EXPECT_FALSE(t.contains(QString::fromUtf8(foreign))) << t.toStdString();
  }
  EXPECT_TRUE(texts.contains("HiDPI 1:1"));
}

TEST(SettingsWindow, TheWindowIsTitledTavloSettingsOnEveryPane) {
  SettingsRig s;
  for (SettingsPane pane : {Pane::general, Pane::network, Pane::diagnostics}) {
    s.window->showPane(pane);
    EXPECT_EQ(s.window->windowTitle(), "Tavlo — Settings");
    EXPECT_EQ(s.window->heading()->text(), settingsPaneTitle(pane));
  }
}

// The pane says whether the updater runs, and why not, from what the updater publishes; Check Now is
// there only while it runs (a button that does nothing is no answer), and the footer promises the daily
// check and names the channel only then.
TEST(SettingsWindow, UpdatesPaneSaysWhetherTheUpdaterRunsAndOffersCheckNowOnlyThen) {
  SettingsRig s;
  s.updaterRunning = false;
  UpdatesPane& u = *s.window->updatesPane();
  EXPECT_EQ(u.version->text(), "1.4 (140)");
  s.controller->updateStatus.set("");
  EXPECT_EQ(u.status->text(), "Not started") << "nothing promised before the updater started";
  EXPECT_FALSE(u.checkNow->isEnabled());
  for (const char* off : {"Off: no update feed address is set", "Off: this build has no update signing key",
                          "Off: not running from a release folder"}) {
    s.controller->updateStatus.set(off);
    EXPECT_EQ(u.status->text(), off);
    EXPECT_FALSE(u.checkNow->isEnabled()) << off;
    EXPECT_FALSE(u.section->footer().contains("every 24 hours")) << off;
    EXPECT_FALSE(u.section->footer().contains("Channel: ")) << off;
  }
  u.checkNow->click();
  EXPECT_EQ(s.updateChecks, 0);

  s.updaterRunning = true;
  s.controller->updateStatus.set("Checks at launch and every 24 h");
  EXPECT_TRUE(u.checkNow->isEnabled());
  EXPECT_TRUE(u.section->footer().endsWith("Channel: updates.tavlo.example."));
  s.controller->updateStatus.set("Up to date (build 140) — last check 14:05");
  EXPECT_EQ(u.status->text(), "Up to date (build 140) — last check 14:05");
  u.checkNow->click();
  EXPECT_EQ(s.updateChecks, 1);

  SettingsRig none(false);
  none.controller->updateStatus.set("Off: no update feed address is set");
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
  EXPECT_TRUE(d.captureRow->findChild<QPushButton*>("recheck")->isHidden());
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
