// The hello's pure arithmetic: keys, force-1x availability, the physical factor, window sides, the
// decode limit and the capped stream size with the ladder's start.
#include "hostcore/session/client_hello_facts.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "hostcore/session/capped_stream_size.hpp"

namespace vela {
namespace {

TEST(ClientHelloFacts, KeysFallBackToPlatformAndNameAndCarryTheInterfaceHint) {
  ClientHello hello;
  hello.platform = Platform::iPad;
  hello.deviceName = "Studio";
  EXPECT_EQ(clientKeyOf(hello), "iPad-Studio");
  EXPECT_EQ(linkDeviceKeyOf(clientKeyOf(hello), 2), "iPad-Studio#2");
  hello.deviceId = "ABCDEF0123456789";
  EXPECT_EQ(clientKeyOf(hello), "ABCDEF0123456789");
  EXPECT_EQ(shortKey(clientKeyOf(hello)), "ABCDEF01");
  EXPECT_EQ(displayLabelFor(Platform::vision), "Tavlo Vision");
}

TEST(ClientHelloFacts, Force1xIsAvailableUpToAWindowSideOf8193) {
  EXPECT_TRUE(force1xAvailable(8193, 100));
  EXPECT_FALSE(force1xAvailable(8194, 100));
  EXPECT_FALSE(force1xAvailable(100, 8194));
}

TEST(ClientHelloFacts, PhysicalFactorIsTheSmallerDecodeRatioCappedAtOne) {
  struct Row { uint16_t maxW, maxH, winW, winH; double factor; const char* why; };
  const Row rows[] = {
      {1920, 1200, 2560, 1600, 0.75, "panel smaller than the window"},
      {8192, 100, 2560, 1600, 1.0, "no decode limit named"},
      {1920, 1200, 0, 1600, 1.0, "zero window side"},
      {0, 0, 2560, 1600, 1.0, "no decode limit sent (a factor of 0 would make a 2×2 stream)"},
      {4000, 4000, 1000, 1000, 1.0, "panel larger than the window"},
  };
  for (const Row& row : rows) {
    ClientHello hello;
    hello.maxDecodePxW = row.maxW;
    hello.maxDecodePxH = row.maxH;
    hello.windowPxW = row.winW;
    hello.windowPxH = row.winH;
    EXPECT_DOUBLE_EQ(physicalFactorOf(hello), row.factor) << row.why;
  }
}

TEST(ClientHelloFacts, ScalesAreClampedAndMacsFollowTheirBacking) {
  EXPECT_EQ(macScaleFor(100), 2.0);
  EXPECT_EQ(macScaleFor(200), 1.0);
  EXPECT_EQ(clampedDeviceScale(3.0), 2.0);
  EXPECT_EQ(clampedDeviceScale(0.5), 1.0);
  EXPECT_EQ(clampedDeviceScale(NAN), 1.0);
}

TEST(ClientHelloFacts, WindowSidesBecomeEvenDisplaySidesWithinTwoTo8192) {
  EXPECT_EQ(displaySideOf(1179), 1178);
  EXPECT_EQ(displaySideOf(0), 2);
  EXPECT_EQ(displaySideOf(1), 2);
  EXPECT_EQ(displaySideOf(65535), 8192);
}

TEST(ClientHelloFacts, StreamsLargerThanTheDecodeLimitShrinkKeepingTheirAspect) {
  EXPECT_EQ(fitWithin(3840, 2160, 1920, 1080), std::make_pair(int64_t{1920}, int64_t{1080}));
  EXPECT_EQ(fitWithin(1280, 720, 0, 0), std::make_pair(int64_t{1280}, int64_t{720})) << "no limit named";
  EXPECT_EQ(fitWithin(2000, 1000, 1001, 0), std::make_pair(int64_t{1000}, int64_t{500}));
  EXPECT_EQ(fitWithin(1000, 1000, 1, 1), std::make_pair(int64_t{2}, int64_t{2}));
}

TEST(CappedStreamSize, CoverageForce1xAndTheBudgetShapeTheStream) {
  StreamSizeContext context{false, 4.6e8, std::nullopt};
  {
    GeometryState g;  // a non-Mac panel covering 0.9: shrunk to the nearest even sizes, logged
    g.clientPhysFactor = 0.9;
    auto size = cappedStreamSize(g, 1000, 700, 1.0, context);
    EXPECT_EQ(size.w, 900);
    EXPECT_EQ(size.h, 630);
    EXPECT_NE(size.logLines.at(0).find("pokrycie matrycy klienta: 900×630 (okno 1000×700, ×0.900)"), std::string::npos);
    EXPECT_EQ(g.ladderRungs, std::vector<double>{1.0});
  }
  {
    GeometryState g;  // a Mac keeps its size, without the coverage line, and gets the full ladder
    g.clientIsMac = true;
    g.clientBackingPercent = 200;
    g.clientPhysFactor = 0.5;
    auto size = cappedStreamSize(g, 1001, 701, 1.0, context);
    EXPECT_EQ(size.w, 1002) << "a coverage-limited side rounds to the nearest even";
    EXPECT_EQ(size.h, 702);
    EXPECT_EQ(size.logLines.size(), 1u);
    EXPECT_EQ(size.logLines[0], "🪜 start drabinki: stopień 1.0 (0.7 MP) — budżet 460 MP/s, łącze nieznane");
    EXPECT_EQ(g.ladderRungs.size(), 4u);
  }
  for (auto [scale, expectW] : {std::pair{1.0, 640}, std::pair{2.0, 1280}}) {
    GeometryState g;
    g.force1xActive = true;
    EXPECT_EQ(cappedStreamSize(g, 1280, 720, scale, context).w, expectW) << scale;
  }
  {
    GeometryState g;  // 3840×2160 at 4.6e8 px/s allows 55 fps
    auto size = cappedStreamSize(g, 3840, 2160, 1.0, StreamSizeContext{false, 4.6e8, 2'000'000});
    EXPECT_TRUE(g.budgetCappedNow);
    EXPECT_EQ(g.encFpsCap, 55);
    EXPECT_NE(size.logLines[0].find(", łącze 2000k z pamięci"), std::string::npos);
    EXPECT_EQ(cappedStreamSize(g, 1280, 720, 1.0, context).logLines.size(), 0u) << "the ladder starts once";
    EXPECT_EQ(g.encFpsCap, 60);
  }
}

}  // namespace
}  // namespace vela
