#include <gtest/gtest.h>

#include "host/app/settings/settings_values.hpp"
#include "tests/host/app/settings/settings_test_kit.hpp"

namespace tavlo {
namespace {

using settingstest::SettingsRig;

void drag(CommitSlider* slider, int position) {
  slider->slider()->setSliderDown(true);
  slider->slider()->setValue(position);
}
void release(CommitSlider* slider) { slider->slider()->setSliderDown(false); }

TEST(SettingsValues, BandwidthLabelsAndKnobPositions) {
  struct Row {
    int64_t kbps;
    const char* label;
    int index;
    const char* why;
  } rows[] = {
      {0, "no limit", 13, "no limit shows at infinity"},
      {700, "700 kb/s", 13, "a value between steps shows at infinity with its own label"},
      {100, "100 kb/s", 0, "the lowest step"},
      {150, "150 kb/s", 1, "one step up"},
      {1000, "1 Mb/s", 5, "megabits from 1000 on"},
      {12000, "12 Mb/s", 10, "no fraction shown when there is none"},
      {99, "no limit", 13, "below the session's floor is no limit"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(bandwidthLabel(row.kbps), row.label) << row.why;
    EXPECT_EQ(bandwidthStepIndex(row.kbps), row.index) << row.why;
  }
  EXPECT_EQ(bandwidthStepKbps(-3), 100);
  EXPECT_EQ(bandwidthStepKbps(40), 0);
}

TEST(NetworkPane, SectionsInOrderWithTheirTexts) {
  SettingsRig s;
  NetworkPane& n = *s.window->networkPane();
  EXPECT_EQ(n.sections[0]->header(), "Maximum bandwidth to use");
  EXPECT_EQ(n.sections[1]->header(), "Allowed connection paths");
  EXPECT_EQ(n.sections[2]->header(), "Smoothness buffer");
  EXPECT_EQ(n.sections[3]->header(), "Keyframe");
  EXPECT_TRUE(n.sections[1]->footer().contains("makes this computer stop offering it"));
  EXPECT_TRUE(n.sections[0]->footer().endsWith("∞ = no limit (default)."));
  EXPECT_EQ(n.allowNAT->text(), "Allow NAT (direct from internet)");
  EXPECT_EQ(n.bandwidthSlider->slider()->maximum(), 13);
}

TEST(NetworkPane, BandwidthKnobAtTheFarLeftStoresTheCeilingAndCapsTheSessionAtRelease) {
  SettingsRig s;
  auto session = s.admitClient();
  ASSERT_EQ(s.controller->session(), session);
  NetworkPane& n = *s.window->networkPane();
  EXPECT_EQ(n.bandwidthValue->text(), "no limit");
  EXPECT_EQ(n.bandwidthSlider->slider()->value(), 13);
  drag(n.bandwidthSlider, 0);
  EXPECT_EQ(n.bandwidthValue->text(), "100 kb/s");
  EXPECT_EQ(s.controller->maxBandwidthKbps.get(), 100);
  EXPECT_FALSE(s.rig.settings.getInt("tl.wireCapKbps"));
  EXPECT_FALSE(session->called("wire cap 100"));
  release(n.bandwidthSlider);  // the model already shows 100: the release still commits
  EXPECT_EQ(s.rig.settings.getInt("tl.wireCapKbps"), 100);
  EXPECT_TRUE(session->called("wire cap 100"));
  drag(n.bandwidthSlider, 1);
  EXPECT_EQ(n.bandwidthValue->text(), "150 kb/s");
  release(n.bandwidthSlider);
  EXPECT_TRUE(session->called("wire cap 150"));
}

TEST(NetworkPane, BandwidthReleaseWithoutAClientOnlyStoresTheKey) {
  SettingsRig s;
  NetworkPane& n = *s.window->networkPane();
  drag(n.bandwidthSlider, 5);
  release(n.bandwidthSlider);
  EXPECT_EQ(s.rig.settings.getInt("tl.wireCapKbps"), 1000);
  EXPECT_EQ(n.bandwidthValue->text(), "1 Mb/s");
}

// A page hidden under a held knob gets no release: the drag ends as a release would, and the knob
// follows the controller again.
TEST(NetworkPane, AKnobHeldWhileThePaneHidesCommitsAndFollowsTheModelAgain) {
  SettingsRig s;
  s.window->showPane(SettingsPane::network);
  NetworkPane& n = *s.window->networkPane();
  drag(n.bandwidthSlider, 0);
  s.window->select(SettingsPane::general);
  EXPECT_FALSE(n.bandwidthSlider->slider()->isSliderDown());
  EXPECT_EQ(s.rig.settings.getInt("tl.wireCapKbps"), 100);
  s.controller->setMaxBandwidthKbps(1000);
  EXPECT_EQ(n.bandwidthSlider->slider()->value(), 5);
  s.window->hide();
}

TEST(NetworkPane, PathSwitchesCommitThroughTheControllerAndWarnWhenAllAreOff) {
  SettingsRig s;
  NetworkPane& n = *s.window->networkPane();
  EXPECT_TRUE(n.allPathsOff->isHidden());
  for (QCheckBox* toggle : {n.allowNAT, n.allowLAN, n.allowVPN, n.allowRelay}) {
    EXPECT_TRUE(toggle->isChecked());
    toggle->click();
  }
  EXPECT_FALSE(s.controller->allowNAT.get());
  EXPECT_FALSE(s.controller->allowLAN.get());
  EXPECT_FALSE(s.controller->allowVPN.get());
  EXPECT_FALSE(s.controller->allowRelay.get());
  EXPECT_EQ(s.rig.settings.getBool("tl.allowNAT"), false);
  EXPECT_EQ(s.rig.settings.getBool("tl.allowRelay"), false);
  EXPECT_FALSE(n.allPathsOff->isHidden());
  EXPECT_EQ(n.allPathsOff->text(), "⚠ All paths off — this computer is unreachable.");
  EXPECT_EQ(n.allowNAT->palette().color(QPalette::WindowText), secondaryColour());
  n.allowVPN->click();
  EXPECT_TRUE(n.allPathsOff->isHidden());
  // A change from elsewhere shows without running any handler again.
  s.controller->allowLAN.set(true);
  EXPECT_TRUE(n.allowLAN->isChecked());
}

TEST(NetworkPane, BufferSliderMovesInFiftiesAndCommitsAtRelease) {
  SettingsRig s;
  auto session = s.admitClient();
  NetworkPane& n = *s.window->networkPane();
  drag(n.bufferSlider, 0);
  EXPECT_EQ(n.bufferValue->text(), "off (combat mode)");
  drag(n.bufferSlider, 1);
  EXPECT_EQ(n.bufferValue->text(), "up to 50 ms");
  EXPECT_EQ(s.controller->bufferMs.get(), 50);
  EXPECT_FALSE(session->called("send stream buffer 50"));
  release(n.bufferSlider);
  EXPECT_EQ(s.controller->bufferMs.get(), 50);
  EXPECT_EQ(s.rig.settings.getInt("tl.bufferMs"), 50);
  EXPECT_TRUE(session->called("send stream buffer 50"));
}

TEST(NetworkPane, KeyframeSwitchRetitlesTheIntervalAndTheSliderMovesTheInterval) {
  SettingsRig s;
  NetworkPane& n = *s.window->networkPane();
  s.controller->kfFixedSec.set(3.0);
  EXPECT_TRUE(n.keyframeAutomatic->isChecked());
  EXPECT_EQ(n.keyframeTitle->text(), "Max interval (dynamic)");
  EXPECT_EQ(n.keyframeValue->text(), "3.00 s");
  EXPECT_EQ(n.keyframeSlider->slider()->value(), 30);
  n.keyframeAutomatic->click();
  EXPECT_FALSE(s.controller->kfAdaptive.get());
  EXPECT_EQ(s.rig.settings.getBool("tl.kfAdaptive"), false);
  EXPECT_EQ(n.keyframeTitle->text(), "Fixed interval");
  EXPECT_EQ(n.keyframeSlider->slider()->value(), 30);  // the slider is not touched
  drag(n.keyframeSlider, 2);
  EXPECT_EQ(n.keyframeValue->text(), "0.20 s");
  EXPECT_FALSE(s.rig.settings.getDouble("tl.kfFixedSec") == 0.2);
  release(n.keyframeSlider);
  EXPECT_DOUBLE_EQ(s.controller->kfFixedSec.get(), 0.2);
  EXPECT_EQ(s.rig.settings.getDouble("tl.kfFixedSec"), 0.2);
}

}  // namespace
}  // namespace tavlo
