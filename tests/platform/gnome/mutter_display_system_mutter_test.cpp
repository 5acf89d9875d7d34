// The GNOME display system against a private headless mutter with a stand-in physical monitor: a
// virtual display appears once its stream is consumed at the mode's size, keeps its id through mode
// changes (HiDPI as scale 2, a new size through the consumer), is published for the capture, and
// leaves nothing behind when released.
#include "platform/gnome/mutter_display_system.hpp"

#include <gtest/gtest.h>

#include "tests/testkit/headless_mutter.hpp"

namespace tavlo {
namespace {

class MutterDisplaySystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mutter_.start(testkit::MonitorSize{1024, 768})) << mutter_.failureText();
    mutter_.applyToThisProcess();
    std::string error;
    auto bus = BusConnection::openSession(&error);
    ASSERT_TRUE(bus) << error;
    system_ = MutterDisplaySystem::open({bus, frames_, {}, {}}, &error);
    ASSERT_TRUE(system_) << error;
  }
  void TearDown() override { system_.reset(); }

  testkit::HeadlessMutter mutter_;
  std::shared_ptr<ScreenCastFrames> frames_ = std::make_shared<ScreenCastFrames>();
  std::shared_ptr<MutterDisplaySystem> system_;
};

TEST_F(MutterDisplaySystemTest, AVirtualDisplayIsShownAtItsModeKeepsItsIdAndGoesWhenReleased) {
  const auto online = system_->onlineDisplays();
  ASSERT_EQ(online.size(), 1u);
  const DisplayId physical = online.front();
  EXPECT_EQ(system_->mainDisplay(), physical);
  ASSERT_TRUE(system_->bounds(physical));
  EXPECT_EQ(system_->bounds(physical)->width, 1024);

  const auto id = system_->createVirtualDisplay({"Tavlo Display"});
  ASSERT_TRUE(id) << mutter_.logs();
  EXPECT_FALSE(system_->currentMode(*id));  // nothing consumes it yet: mutter shows no monitor

  ASSERT_TRUE(system_->applySettings(*id, {false, 1920, 1080})) << mutter_.logs();
  EXPECT_EQ(system_->currentMode(*id), (DisplayMode{1920, 1080, 1920, 1080, system_->currentMode(*id)->refreshRate}));
  EXPECT_EQ(system_->onlineDisplays().size(), 2u);
  ASSERT_TRUE(frames_->lookup(*id));
  EXPECT_EQ(frames_->lookup(*id)->requestedSize(), (PixelSize{1920, 1080}));
  EXPECT_EQ(system_->mainDisplay(), physical);
  auto target = system_->inputTarget(0, std::make_pair(system_->bounds(*id)->x + 5.0, 5.0));
  ASSERT_TRUE(target);
  EXPECT_EQ(target->pixels, (PixelSize{1920, 1080}));
  EXPECT_FALSE(system_->inputTarget(0, std::make_pair(5.0, 5.0)));  // on the physical monitor

  // HiDPI on the same pixels: only the scale changes.
  ASSERT_TRUE(system_->applySettings(*id, {true, 960, 540})) << mutter_.logs();
  auto mode = system_->currentMode(*id);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->width, 960);
  EXPECT_EQ(mode->pixelWidth, 1920);

  // A new size goes through the stream's consumer; the display keeps its id.
  ASSERT_TRUE(system_->applySettings(*id, {true, 1280, 720})) << mutter_.logs();
  mode = system_->currentMode(*id);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->width, 1280);
  EXPECT_EQ(mode->height, 720);
  EXPECT_EQ(mode->pixelWidth, 2560);
  EXPECT_EQ(mode->pixelHeight, 1440);
  EXPECT_EQ(system_->onlineDisplays().size(), 2u);  // resized, not a second monitor

  system_->releaseVirtualDisplay(*id);
  EXPECT_FALSE(frames_->lookup(*id));
  EXPECT_FALSE(system_->currentMode(*id));
  EXPECT_EQ(system_->onlineDisplays(), std::vector<DisplayId>{physical});
}

TEST_F(MutterDisplaySystemTest, ModesAndLayoutsThatCannotBeShownAreRefusedAndASmallHiDPIModeKeepsItsPixels) {
  auto configuration = system_->beginConfiguration();
  ASSERT_TRUE(configuration);
  configuration->setEnabled(system_->onlineDisplays().front(), false);  // the only monitor on
  EXPECT_FALSE(configuration->complete());
  EXPECT_EQ(system_->onlineDisplays().size(), 1u);
  const auto id = system_->createVirtualDisplay({"Tavlo Display"});
  ASSERT_TRUE(id);
  EXPECT_FALSE(system_->applySettings(*id, {false, 0, 720}));
  EXPECT_FALSE(system_->applySettings(*id, {true, 9000, 720}));  // 18000 pixels: past what a stream takes
  EXPECT_FALSE(system_->applySettings(0x80000999u, {false, 1280, 720}));  // not a display of ours
  // Mutter offers scale 2 only where at least 800×480 logical pixels remain: the monitor stays at
  // scale 1 with the pixels asked for, and the mode reads as asked.
  EXPECT_TRUE(system_->applySettings(*id, {true, 320, 240}));
  const auto small = system_->currentMode(*id);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->width, 320);
  EXPECT_EQ(small->pixelWidth, 640);
  ASSERT_TRUE(system_->bounds(*id));
  EXPECT_EQ(system_->bounds(*id)->width, 320);  // bounds are in points
}

}  // namespace
}  // namespace tavlo
