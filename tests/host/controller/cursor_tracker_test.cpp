// The cursor-shape tracker on a scripted cursor, a manual scheduler and a recording session: when it
// polls, what it sends, its resend window, the size limit, the shape table and pixels per point.
#include <gtest/gtest.h>

#include <limits>

#include "host/controller/cursor_tracker.hpp"
#include "tests/host/controller/fake_session.hpp"

namespace tavlo {
namespace {

using vela::CursorShape;

class ScriptedCursor final : public CursorSource {
 public:
  std::optional<CursorSnapshot> current() override {
    ++reads;
    return cursor;
  }
  int reads = 0;
  CursorSnapshot cursor = make("left_ptr", 24, 1);

  static CursorSnapshot make(const std::string& name, int32_t side, uint32_t serial) {
    CursorSnapshot c{name, side, side, 2, 3, serial, {}};
    for (int32_t i = 0; i < side * side; ++i) c.argb.push_back(0xFF000000u | (serial * 0x10101u + uint32_t(i)));
    return c;
  }
};

struct Rig {
  FakeClock clock;
  ManualScheduler scheduler{clock};
  ScriptedCursor source;
  std::shared_ptr<controllertest::FakeSession> session = std::make_shared<controllertest::FakeSession>();
  bool hasSession = true;
  bool visible = false;
  std::optional<DisplayWidths> display = DisplayWidths{1920, 1920};
  std::vector<std::string> lines;
  std::shared_ptr<CursorTracker> tracker = CursorTracker::create({
      source,
      scheduler,
      [](std::function<void()> job) { job(); },
      [this]() -> std::shared_ptr<ControlledSession> { return hasSession ? session : nullptr; },
      [this] { return visible; },
      [this] { return display; },
      [this](const std::string& line) { lines.push_back(line); },
  });
  void advanceSec(double seconds) { scheduler.advanceBy(static_cast<uint64_t>(seconds * 1e6)); }
  bool logged(const std::string& text) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
};

TEST(CursorTracker, PollsOnlyWithASessionAndTheCursorHiddenFromTheVideo) {
  Rig rig;
  rig.visible = true;
  rig.tracker->sync();
  EXPECT_FALSE(rig.tracker->tracking());
  rig.visible = false;
  rig.tracker->sync();
  EXPECT_TRUE(rig.tracker->tracking());
  EXPECT_TRUE(rig.logged("🖱 kursor ukryty w strumieniu → wysyłam KSZTAŁT kursora do klienta (10 Hz, tylko przy zmianie)"));
  rig.advanceSec(0.1);
  ASSERT_EQ(rig.session->cursorImages.size(), 1u);
  const auto& sent = rig.session->cursorImages[0];
  EXPECT_EQ(sent.shape, CursorShape::arrow);
  EXPECT_EQ(sent.width, 24);
  EXPECT_EQ(sent.hotspotX, 2);
  EXPECT_EQ(sent.scale, 1);
  // BGRA bytes of the premultiplied ARGB word, and the hash is the image's id.
  EXPECT_EQ(sent.bgra[3], 0xFF);
  EXPECT_EQ(sent.cursorId, sampledCursorHash(sent.bgra));

  rig.hasSession = false;
  rig.tracker->sync();
  EXPECT_FALSE(rig.tracker->tracking());
  EXPECT_TRUE(rig.logged("🖱 śledzenie kształtu kursora zatrzymane"));
  rig.advanceSec(1);
  EXPECT_EQ(rig.session->cursorImages.size(), 1u);
}

// With a reader, the desktop is asked there and never within the main thread's tick (a stalled X server
// must not hold up the main thread); ticks while a read has not come back are skipped, not queued.
TEST(CursorTracker, ReadsOnItsReaderAndSkipsTicksWhileAReadIsOutstanding) {
  Rig rig;
  std::vector<std::function<void()>> readerJobs;
  auto tracker = CursorTracker::create({
      rig.source,
      rig.scheduler,
      [](std::function<void()> job) { job(); },
      [&rig]() -> std::shared_ptr<ControlledSession> { return rig.session; },
      [] { return false; },
      [&rig] { return rig.display; },
      [](const std::string&) {},
      [&readerJobs](std::function<void()> job) { readerJobs.push_back(std::move(job)); },
  });
  tracker->sync();
  rig.advanceSec(0.5);
  EXPECT_EQ(rig.source.reads, 0) << "the main thread's ticks read nothing themselves";
  ASSERT_EQ(readerJobs.size(), 1u) << "one read at a time";
  EXPECT_TRUE(rig.session->cursorImages.empty());
  auto job = std::move(readerJobs.front());
  readerJobs.clear();
  job();
  EXPECT_EQ(rig.source.reads, 1);
  EXPECT_EQ(rig.session->cursorImages.size(), 1u) << "what was read is applied on the main thread";
  rig.advanceSec(0.1);
  EXPECT_EQ(readerJobs.size(), 1u) << "the next tick reads again";
  tracker.reset();
  readerJobs.front()();
  EXPECT_EQ(rig.source.reads, 1) << "a tracker gone meanwhile is not read for";
}

TEST(CursorTracker, SendsOnChangeAndResendsEveryTwoSecondsOnlyInTheFirstTwenty) {
  Rig rig;
  rig.tracker->sync();
  rig.advanceSec(0.1);
  ASSERT_EQ(rig.session->cursorImages.size(), 1u);
  rig.advanceSec(1.5);
  EXPECT_EQ(rig.session->cursorImages.size(), 1u) << "unchanged, no resend due yet";
  rig.source.cursor = ScriptedCursor::make("xterm", 16, 2);
  rig.advanceSec(0.1);
  ASSERT_EQ(rig.session->cursorImages.size(), 2u);
  EXPECT_EQ(rig.session->cursorImages.back().shape, CursorShape::iBeam);
  const size_t atChange = rig.session->cursorImages.size();
  rig.advanceSec(18.5);  // to 20.2 s after the start: resends at 2-s steps
  const size_t resent = rig.session->cursorImages.size() - atChange;
  EXPECT_GE(resent, 8u);
  EXPECT_LE(resent, 10u);
  rig.advanceSec(30);
  EXPECT_EQ(rig.session->cursorImages.size() - atChange, resent) << "never after 20 s while unchanged";
  rig.source.cursor = ScriptedCursor::make("xterm", 16, 3);  // same name and size, another cursor
  rig.advanceSec(0.1);
  EXPECT_EQ(rig.session->cursorImages.size() - atChange, resent + 1);
}

TEST(CursorTracker, AnImageTheSessionRefusedIsSentAgainOnceItAccepts) {
  Rig rig;
  rig.session->refuseCursorImages = true;  // the client's hello is not accepted yet
  rig.tracker->sync();
  rig.advanceSec(25);  // past the resend window
  EXPECT_TRUE(rig.session->cursorImages.empty());
  EXPECT_FALSE(rig.logged("🖱 WYSYŁAM kursor")) << "nothing was sent";
  rig.session->refuseCursorImages = false;
  rig.advanceSec(0.1);
  ASSERT_EQ(rig.session->cursorImages.size(), 1u) << "the unchanged cursor still reaches the client";
  EXPECT_EQ(rig.session->cursorImages[0].shape, CursorShape::arrow);
  EXPECT_TRUE(rig.logged("🖱 WYSYŁAM kursor 24×24 px"));
  rig.advanceSec(1);
  EXPECT_EQ(rig.session->cursorImages.size(), 1u) << "and only once";
}

TEST(CursorTracker, ScalesByPixelsPerPointAndSendsNothingAbove256) {
  Rig rig;
  rig.session->streamWidth = 3840;  // a 2x stream of a 1920-pixel display
  rig.tracker->sync();
  rig.advanceSec(0.1);
  ASSERT_EQ(rig.session->cursorImages.size(), 1u);
  EXPECT_EQ(rig.session->cursorImages[0].width, 48);
  EXPECT_EQ(rig.session->cursorImages[0].hotspotY, 6);
  EXPECT_EQ(rig.session->cursorImages[0].scale, 2);
  rig.source.cursor = ScriptedCursor::make("left_ptr", 129, 9);  // 258 pixels at 2x
  rig.advanceSec(1);
  EXPECT_EQ(rig.session->cursorImages.size(), 1u);

  EXPECT_EQ(hostPixelsPerPoint(std::nullopt, 3840), 2.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{0, 0}, 3840), 2.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{1920, 1920}, 3840), 2.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{1920, 1920}, 1280), 1.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{1000, 1000}, 9000), 4.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{640, 1280}, 0), 2.0) << "a HiDPI output's own pixels per point";

  // A HiDPI output (640 points, 1280 of the server's pixels) streamed at its pixels: the image keeps
  // its pixels and the client is told 2 pixels per point.
  Rig hidpi;
  hidpi.display = DisplayWidths{640, 1280};
  hidpi.session->streamWidth = 1280;
  hidpi.tracker->sync();
  hidpi.advanceSec(0.1);
  ASSERT_EQ(hidpi.session->cursorImages.size(), 1u);
  EXPECT_EQ(hidpi.session->cursorImages[0].width, 24);
  EXPECT_EQ(hidpi.session->cursorImages[0].scale, 2);
  EXPECT_EQ(cursorImageScale(std::nullopt, 1280), 1.0);

  // Widths that cannot divide count as no display, whatever the server or a rounding made of them.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{nan, 1920}, 3840), 2.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{inf, 1920}, 3840), 2.0);
  EXPECT_EQ(hostPixelsPerPoint(DisplayWidths{640, nan}, 0), 2.0);
  EXPECT_EQ(cursorImageScale(DisplayWidths{1920, nan}, 3840), 1.0);
  EXPECT_EQ(cursorImageScale(DisplayWidths{1920, -inf}, 3840), 1.0);
  Rig broken;
  broken.display = DisplayWidths{nan, nan};
  broken.session->streamWidth = 3840;
  broken.tracker->sync();
  broken.advanceSec(0.1);
  ASSERT_EQ(broken.session->cursorImages.size(), 1u);
  EXPECT_EQ(broken.session->cursorImages[0].width, 24);
  EXPECT_EQ(broken.session->cursorImages[0].scale, 2);
}

TEST(CursorShapes, TableSignatureAndHash) {
  const auto& table = CursorShapeTable::standard();
  EXPECT_EQ(table.shapeOf("left_ptr"), CursorShape::arrow);
  EXPECT_EQ(table.shapeOf("hand2"), CursorShape::pointingHand);
  EXPECT_EQ(table.shapeOf("sb_h_double_arrow"), CursorShape::resizeLeftRight);
  EXPECT_EQ(table.shapeOf("hand"), CursorShape::custom) << "listed for two shapes: ambiguous";
  EXPECT_EQ(table.shapeOf("my-app-cursor"), CursorShape::custom);

  constexpr std::pair<const char*, CursorShape> entries[] = {
      {"a", CursorShape::arrow}, {"a", CursorShape::iBeam}, {"a", CursorShape::arrow}, {"b", CursorShape::crosshair}};
  CursorShapeTable own(entries);
  EXPECT_EQ(own.shapeOf("a"), CursorShape::custom) << "an ambiguous name is never added again";
  EXPECT_EQ(own.namesJoined(), "b");

  CursorSnapshot cursor{"", 24, 24, 3, 5, 1, {}};
  EXPECT_EQ(cursorSignature(cursor), "24.0x24.0@3.0,5.0");
  cursor.name = "xterm";
  EXPECT_EQ(cursorSignature(cursor), "xterm 24.0x24.0@3.0,5.0");

  // FNV-1a over bytes 0 and 37 only of a 40-byte buffer.
  Bytes bytes(40, 0);
  bytes[0] = 1;
  bytes[37] = 2;
  bytes[1] = 99;  // not sampled
  uint32_t expected = 0x811C9DC5u;
  for (uint8_t b : {uint8_t{1}, uint8_t{2}}) expected = (expected ^ b) * 0x01000193u;
  EXPECT_EQ(sampledCursorHash(bytes), expected);
  EXPECT_FALSE(renderCursor(CursorSnapshot{"", 0, 0, 0, 0, 0, {}}, 1.0));
  EXPECT_FALSE(renderCursor(CursorSnapshot{"", 4, 4, 0, 0, 0, {1, 2}}, 1.0)) << "fewer words than pixels";
  const CursorSnapshot square{"", 4, 4, 0, 0, 0, std::vector<uint32_t>(16, 0xFF000000u)};
  for (double scale : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 0.0, -2.0,
                       1e300}) {
    EXPECT_FALSE(renderCursor(square, scale)) << "scale " << scale;
  }
  ASSERT_TRUE(renderCursor(square, 0.1)) << "a tiny scale still gives one pixel";
  EXPECT_EQ(renderCursor(square, 0.1)->width, 1);
}

}  // namespace
}  // namespace tavlo
