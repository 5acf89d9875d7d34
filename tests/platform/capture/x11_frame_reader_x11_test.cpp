// The Xorg capture path against a private dummy Xorg: NV12 frames of the requested size, nothing more
// while the screen stands still, and what is drawn showing up at its place in the converted picture.
#include "platform/capture/x11_frame_reader.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <vector>

#include "platform/x11/randr_outputs.hpp"
#include "platform/display/xorg_display_system.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using Outcome = X11FrameReader::Outcome;

struct Nv12Picture {
  Nv12Picture(int32_t width, int32_t height)
      : width(width), height(height), luma(size_t(width) * height), chroma(size_t(width) * height / 2) {}
  Nv12View view() { return {luma.data(), width, chroma.data(), width, width, height}; }
  int y(int32_t x, int32_t row) const { return luma[size_t(row) * width + x]; }
  int cr(int32_t x, int32_t row) const { return chroma[size_t(row / 2) * width + (x & ~1) + 1]; }
  int32_t width, height;
  std::vector<uint8_t> luma, chroma;
};

class X11FrameReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.start()) << server_.failureText();
    client_ = XcbConnection::open(server_.display());
    ASSERT_NE(client_, nullptr);
    auto outputs = queryOutputs(*client_);
    ASSERT_FALSE(outputs.empty());
    output_ = outputs[0];
    std::string error;
    reader_ = X11FrameReader::open(server_.display(), output_.outputId, &error);
    ASSERT_NE(reader_, nullptr) << error;
  }

  // Reads until something other than "unchanged" comes or `budget` has passed, waiting for the
  // server's events in between. Without a picture the reader has no target to write into.
  Outcome readWithin(Nv12Picture* picture, std::chrono::milliseconds budget) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    Outcome outcome = Outcome::unchanged;
    do {
      outcome = reader_->read([&] { return picture ? std::optional<Nv12View>(picture->view()) : std::nullopt; });
      if (outcome != Outcome::unchanged) return outcome;
      pollfd descriptor{reader_->eventDescriptor(), POLLIN, 0};
      poll(&descriptor, 1, 20);
    } while (std::chrono::steady_clock::now() < deadline);
    return outcome;
  }
  Outcome readWithin(Nv12Picture& picture, std::chrono::milliseconds budget) { return readWithin(&picture, budget); }

  // A window of one colour, mapped at (x, y) of the root, above everything.
  void drawRectangle(int16_t x, int16_t y, uint16_t width, uint16_t height, uint32_t rgb) {
    xcb_connection_t* c = client_->get();
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {rgb, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, client_->root(), x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, client_->screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  testkit::XorgServer server_;
  std::unique_ptr<XcbConnection> client_;
  OutputGeometry output_;
  std::unique_ptr<X11FrameReader> reader_;
};

TEST_F(X11FrameReaderTest, DeliversOneFrameOfTheRequestedSizeAndNothingWhileTheScreenStandsStill) {
  ASSERT_EQ(output_.pixelWidth, 2048u);
  ASSERT_EQ(output_.pixelHeight, 1536u);
  reader_->configure(1024, 768, false);
  Nv12Picture picture(1024, 768);
  EXPECT_EQ(readWithin(picture, std::chrono::milliseconds(0)), Outcome::frame);
  EXPECT_EQ(reader_->area(), (PixelRect{0, 0, 2048, 1536}));
  // Without a picture to write into, news stays news.
  drawRectangle(0, 0, 16, 16, 0xffffff);
  EXPECT_EQ(readWithin(nullptr, std::chrono::seconds(2)), Outcome::noTarget);
  EXPECT_EQ(readWithin(nullptr, std::chrono::milliseconds(0)), Outcome::noTarget);
  EXPECT_EQ(readWithin(picture, std::chrono::milliseconds(0)), Outcome::frame);
  // A still screen: nothing for a while.
  EXPECT_EQ(readWithin(picture, std::chrono::milliseconds(300)), Outcome::unchanged);
  // A new size is news by itself.
  reader_->configure(640, 480, false);
  Nv12Picture smaller(640, 480);
  EXPECT_EQ(readWithin(smaller, std::chrono::milliseconds(0)), Outcome::frame);
}

TEST_F(X11FrameReaderTest, ADrawnRectangleShowsAtItsPlaceInTheScaledPicture) {
  reader_->configure(1024, 768, false);
  Nv12Picture picture(1024, 768);
  ASSERT_EQ(readWithin(picture, std::chrono::milliseconds(0)), Outcome::frame);
  const int background = picture.y(300, 200);
  // Red at (400, 300)–(800, 700) of the screen: (200, 150)–(400, 350) at half size.
  drawRectangle(400, 300, 400, 400, 0xff0000);
  ASSERT_EQ(readWithin(picture, std::chrono::seconds(2)), Outcome::frame);
  EXPECT_NEAR(picture.y(300, 250), 63, 2);
  EXPECT_NEAR(picture.cr(300, 250), 240, 2);
  for (auto [x, y] : {std::pair{203, 153}, std::pair{396, 346}}) {
    EXPECT_NEAR(picture.y(x, y), 63, 2) << x << "," << y;
  }
  for (auto [x, y] : {std::pair{196, 250}, std::pair{404, 250}, std::pair{300, 146}, std::pair{300, 354}}) {
    EXPECT_EQ(picture.y(x, y), background) << x << "," << y;
  }
}

TEST_F(X11FrameReaderTest, AMovingCursorIsNewsOnlyWhileTheCursorIsShown) {
  reader_->configure(1024, 768, true);
  Nv12Picture picture(1024, 768);
  ASSERT_EQ(readWithin(picture, std::chrono::milliseconds(0)), Outcome::frame);
  EXPECT_EQ(readWithin(picture, std::chrono::milliseconds(100)), Outcome::unchanged);
  xcb_connection_t* c = client_->get();
  xcb_warp_pointer(c, XCB_NONE, client_->root(), 0, 0, 0, 0, 100, 100);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  ASSERT_EQ(readWithin(picture, std::chrono::seconds(2)), Outcome::frame);
  // The root window's cursor is drawn around (50, 50) of the half-size picture.
  int dark = 0, light = 0;
  for (int y = 40; y < 60; ++y) {
    for (int x = 40; x < 60; ++x) {
      if (picture.y(x, y) < 40) ++dark;
      if (picture.y(x, y) > 200) ++light;
    }
  }
  EXPECT_GT(dark + light, 0);

  reader_->configure(1024, 768, false);
  ASSERT_EQ(readWithin(picture, std::chrono::milliseconds(0)), Outcome::frame);
  xcb_warp_pointer(c, XCB_NONE, client_->root(), 0, 0, 0, 0, 300, 300);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  EXPECT_EQ(readWithin(picture, std::chrono::milliseconds(200)), Outcome::unchanged);
}

TEST_F(X11FrameReaderTest, ReadsAVirtualDisplayBesideTheFirstOutputAndFollowsItToANewMode) {
  std::string error;
  auto displays = XorgDisplaySystem::open(server_.display(), &error);
  ASSERT_NE(displays, nullptr) << error;
  VirtualDisplayDescriptor descriptor;
  descriptor.name = "capture test";
  descriptor.maxPixelsWide = 4096;
  descriptor.maxPixelsHigh = 4096;
  descriptor.widthMm = 600;
  descriptor.heightMm = 400;
  auto id = displays->createVirtualDisplay(descriptor);
  ASSERT_TRUE(id);
  ASSERT_TRUE(displays->applySettings(*id, {false, 1280, 800, 60.0}));
  auto reader = X11FrameReader::open(server_.display(), *id, &error);
  ASSERT_NE(reader, nullptr) << error;
  reader_ = std::move(reader);
  reader_->configure(1280, 800, false);
  Nv12Picture picture(1280, 800);
  ASSERT_EQ(readWithin(picture, std::chrono::milliseconds(0)), Outcome::frame);
  const PixelRect first = reader_->area();
  EXPECT_GE(first.x, 2048);  // beside the first output
  EXPECT_EQ(first.width, 1280);
  EXPECT_EQ(first.height, 800);
  // A rectangle drawn on the first output is not news for this one.
  drawRectangle(100, 100, 200, 200, 0x00ff00);
  EXPECT_EQ(readWithin(picture, std::chrono::milliseconds(200)), Outcome::unchanged);

  ASSERT_TRUE(displays->applySettings(*id, {false, 2360, 1640, 60.0}));
  ASSERT_EQ(readWithin(picture, std::chrono::seconds(2)), Outcome::frame);
  EXPECT_EQ(reader_->area(), (PixelRect{first.x, first.y, 2360, 1640}));
  displays->releaseVirtualDisplay(*id);
}

}  // namespace
}  // namespace tavlo
