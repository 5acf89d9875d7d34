// The GNOME clipboard through mutter, between two pasteboards on connections of their own (as two
// programs of the desktop): what one writes the other reads, with our marker; a change by the other
// is counted, its own write is not counted twice; a promised file list is made when first asked; an
// item past the read bound is dropped.
#include "platform/gnome/mutter_pasteboard.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/testkit/headless_mutter.hpp"

namespace tavlo {
namespace {

class MutterPasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mutter_.start()) << mutter_.failureText();
    mutter_.applyToThisProcess();
    std::string error;
    auto busA = BusConnection::openSession(&error);
    auto busB = BusConnection::openSession(&error);
    ASSERT_TRUE(busA && busB) << error;
    a_ = MutterPasteboard::open(busA, &error, [this](const std::string& line) { lines_.push_back(line); });
    ASSERT_TRUE(a_) << error << mutter_.logs();
    b_ = MutterPasteboard::open(busB, &error, [this](const std::string& line) { lines_.push_back(line); });
    ASSERT_TRUE(b_) << error;
  }

  template <typename Condition>
  static bool eventually(Condition condition) {
    for (int i = 0; i < 200; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return condition();
  }

  testkit::HeadlessMutter mutter_;
  std::unique_ptr<MutterPasteboard> a_, b_;
  std::vector<std::string> lines_;
};

TEST_F(MutterPasteboardTest, WhatOneWritesTheOtherReadsWithTheMarkerAndChangesAreCounted) {
  const int64_t before = b_->changeCount();
  PasteboardContent text;
  text.text = "zażółć gęślą jaźń";
  const int64_t written = a_->write(text);
  EXPECT_EQ(written, a_->changeCount());
  ASSERT_TRUE(eventually([&] { return b_->changeCount() > before && b_->hasOwnMarker(); })) << mutter_.logs();
  EXPECT_EQ(b_->text(), std::optional<std::string>("zażółć gęślą jaźń"));
  EXPECT_FALSE(b_->png());  // not offered
  EXPECT_TRUE(a_->hasOwnMarker());
  EXPECT_EQ(a_->changeCount(), written);  // mutter's report of our own write is not a second change

  const int64_t aBefore = a_->changeCount();
  const Bytes png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3};
  PasteboardContent image;
  image.png = png;
  b_->write(image);
  ASSERT_TRUE(eventually([&] { return a_->changeCount() > aBefore; }));
  EXPECT_EQ(a_->png(), std::optional<Bytes>(png));
  EXPECT_FALSE(a_->text());
}

TEST_F(MutterPasteboardTest, APromisedFileListIsMadeWhenFirstAskedAndOversizedItemsAreDropped) {
  std::atomic<int> fulfilled{0};
  auto promise = std::make_shared<PasteboardFilePromise>();
  promise->name = "raport.pdf";
  promise->fulfil = [&]() -> std::optional<std::filesystem::path> {
    ++fulfilled;
    return std::filesystem::path("/tmp/tavlo promised/raport.pdf");
  };
  const int64_t before = b_->changeCount();
  PasteboardContent promised;
  promised.promise = promise;
  a_->write(promised);
  ASSERT_TRUE(eventually([&] { return b_->changeCount() > before; }));
  EXPECT_EQ(fulfilled.load(), 0);  // nobody asked yet
  EXPECT_EQ(b_->files(), std::vector<std::filesystem::path>{"/tmp/tavlo promised/raport.pdf"});
  EXPECT_EQ(b_->files(), std::vector<std::filesystem::path>{"/tmp/tavlo promised/raport.pdf"});
  EXPECT_EQ(fulfilled.load(), 1);  // made once

  const int64_t again = b_->changeCount();
  PasteboardContent huge;
  huge.png = Bytes(Pasteboard::maxItemBytes + 1, 0x42);
  a_->write(huge);
  ASSERT_TRUE(eventually([&] { return b_->changeCount() > again; }));
  EXPECT_FALSE(b_->png());
  bool logged = false;
  for (const auto& line : lines_) logged = logged || line.find("image/png") != std::string::npos;
  EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace tavlo
