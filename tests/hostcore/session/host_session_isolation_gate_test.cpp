// The isolation gate: video held while the physical displays go dark, let through when they have or
// after 4 s, then left alone for 60 s.
#include <gtest/gtest.h>

#include "tests/hostcore/session/streaming_session.hpp"

namespace vela {
namespace {

using testkit::SessionRig;

constexpr uint64_t second = 1'000'000;

TEST(IsolationGate, HoldsAtMostFourSecondsThenStaysQuietForAMinute) {
  SessionRig rig;
  rig.make();
  testkit::makeStreaming(rig);
  rig.display->setKnobs({.isolationSettles = false});
  rig.display->isolatePhysicalDisplays();
  rig.session->armIsolationGate();
  EXPECT_EQ(rig.log.count("🚧 wstrzymuję strumień do czasu zgaszenia ekranów fizycznych"), 1u);
  const uint64_t t = rig.clock().nowUs();
  EXPECT_TRUE(rig.session->isolationGateBlocks(t));
  EXPECT_TRUE(rig.session->isolationGateBlocks(t + 3 * second));
  EXPECT_EQ(rig.display->enforceCount(), 2) << "every held frame pushes the isolation again";

  rig.probe([](SessionState& s) { s.keyframes.forceKeyframeNext = false; });
  EXPECT_FALSE(rig.session->isolationGateBlocks(t + 4 * second));
  EXPECT_EQ(rig.log.count("⚠️ izolacja nie domknęła się w 4 s — wpuszczam strumień mimo to"), 1u);
  EXPECT_TRUE(rig.probe([](SessionState& s) { return s.keyframes.forceKeyframeNext; }));
  EXPECT_FALSE(rig.session->isolationGateBlocks(t + 30 * second)) << "quiet period";
  EXPECT_FALSE(rig.session->isolationGateBlocks(t + 63 * second));

  EXPECT_TRUE(rig.session->isolationGateBlocks(t + 64 * second)) << "after the minute a lit display holds again";
  EXPECT_EQ(rig.log.count("🚧 ekran fizyczny wrócił/podpięto — wstrzymuję strumień do czasu jego zgaszenia"), 1u);
  rig.display->setKnobs({.isolationSettles = true});
  EXPECT_FALSE(rig.session->isolationGateBlocks(t + 65 * second));
  EXPECT_EQ(rig.log.count("✅ izolacja domknięta — wpuszczam strumień"), 1u);
  EXPECT_FALSE(rig.session->isolationGateBlocks(t + 66 * second));
  EXPECT_EQ(rig.log.count("✅ izolacja domknięta"), 1u) << "logged when the gate opens, not per frame";
}

TEST(IsolationGate, NeverHoldsWithoutIsolationOrWhenAlreadySettled) {
  SessionRig rig;
  auto config = rig.config();
  config.isolateDisplays = false;
  rig.make(std::move(config));
  testkit::makeStreaming(rig);
  rig.display->setKnobs({.isolationSettles = false});
  rig.display->isolatePhysicalDisplays();
  rig.session->armIsolationGate();
  EXPECT_FALSE(rig.session->isolationGateBlocks(rig.clock().nowUs()));

  SessionRig settled;
  settled.make();
  testkit::makeStreaming(settled);
  settled.display->isolatePhysicalDisplays();
  settled.session->armIsolationGate();
  EXPECT_EQ(settled.log.count("🚧"), 0u);
  EXPECT_FALSE(settled.session->isolationGateBlocks(settled.clock().nowUs()));
}

}  // namespace
}  // namespace vela
