#include "transport/mux_frame_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vela {
namespace {

using Route = MuxFrameReader::Route;

Bytes frame(Bytes payload) {
  auto n = static_cast<uint32_t>(payload.size());
  Bytes out(4 + payload.size());
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(n >> (8 * i));
  std::copy(payload.begin(), payload.end(), out.begin() + 4);
  return out;
}

// A payload of `size` bytes whose byte 5 is `channel` and whose other bytes count up from `seed`.
Bytes payload(size_t size, uint8_t channel, uint8_t seed = 0) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i);
  if (size > 5) out[5] = channel;
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(MuxFrameReader, CutsFramesWhateverThePieces) {
  Bytes a = payload(20, 0, 1), b = payload(100, 3, 2);
  Bytes stream = concat({frame(a), frame(b)});
  struct Row {
    const char* why;
    std::vector<size_t> cuts;  // piece boundaries
  };
  const Row rows[] = {
      {"two frames in one piece are both delivered, in order", {}},
      {"one frame split over three pieces is delivered once, after the last", {2, 11}},
      {"a piece ending inside the length field", {3}},
      {"byte by byte", [] {
         std::vector<size_t> all;
         for (size_t i = 1; i < 128; ++i) all.push_back(i);
         return all;
       }()},
  };
  for (const auto& row : rows) {
    MuxFrameReader reader;
    std::vector<MuxFrameReader::Frame> out;
    size_t from = 0;
    std::vector<size_t> cuts = row.cuts;
    cuts.push_back(stream.size());
    for (size_t to : cuts) {
      size_t before = out.size();
      ASSERT_TRUE(reader.append(ByteView(stream).subspan(from, to - from), out)) << row.why;
      if (to < 24 && row.cuts.size() == 2) {
        EXPECT_EQ(out.size(), before) << row.why;
      }
      from = to;
    }
    ASSERT_EQ(out.size(), 2u) << row.why;
    EXPECT_EQ(out[0].payload, a) << row.why;
    EXPECT_EQ(out[0].route, Route::control) << row.why;
    EXPECT_EQ(out[1].payload, b) << row.why;
    EXPECT_EQ(out[1].route, Route::inputReliable) << row.why;
    EXPECT_EQ(reader.bufferedBytes(), 0u) << row.why;
  }
}

TEST(MuxFrameReader, RoutesByByteFiveOnly) {
  struct Row {
    uint8_t byte5;
    Route route;
    const char* why;
  };
  const Row rows[] = {
      {3, Route::inputReliable, "reliable input"},
      {0, Route::control, "control"},
      {1, Route::control, "video is not a TCP channel: control takes it"},
      {2, Route::control, "audio likewise"},
      {4, Route::control, "unreliable input likewise"},
      {0xFF, Route::control, "any larger value, as in a sealed envelope"},
  };
  for (const auto& row : rows) {
    MuxFrameReader reader;
    std::vector<MuxFrameReader::Frame> out;
    ASSERT_TRUE(reader.append(frame(payload(6, row.byte5)), out));
    ASSERT_EQ(out.size(), 1u) << row.why;
    EXPECT_EQ(out[0].route, row.route) << row.why;
  }
}

TEST(MuxFrameReader, ConsumesPayloadsTooShortToRoute) {
  for (size_t size = 0; size <= 5; ++size) {
    MuxFrameReader reader;
    std::vector<MuxFrameReader::Frame> out;
    Bytes good = payload(16, 0, 9);
    ASSERT_TRUE(reader.append(concat({frame(payload(size, 0)), frame(good)}), out));
    ASSERT_EQ(out.size(), 1u) << "a " << size << "-byte payload is dropped and the next frame still found";
    EXPECT_EQ(out[0].payload, good);
  }
}

TEST(MuxFrameReader, RefusesAFrameAboveTheLimitButTakesOneAtIt) {
  MuxFrameReader reader;
  std::vector<MuxFrameReader::Frame> out;
  uint32_t atLimit = MuxFrameReader::maxFrameLength;
  Bytes header{static_cast<uint8_t>(atLimit), static_cast<uint8_t>(atLimit >> 8), static_cast<uint8_t>(atLimit >> 16),
               static_cast<uint8_t>(atLimit >> 24)};
  EXPECT_TRUE(reader.append(header, out)) << "a frame of exactly the limit waits for its bytes";
  EXPECT_FALSE(reader.overflowed());

  MuxFrameReader hostile;
  Bytes good = frame(payload(8, 0));
  uint32_t above = atLimit + 1;
  Bytes stream = good;
  for (int i = 0; i < 4; ++i) stream.push_back(static_cast<uint8_t>(above >> (8 * i)));
  std::vector<MuxFrameReader::Frame> delivered;
  EXPECT_FALSE(hostile.append(stream, delivered)) << "a 16 MiB + 1 frame breaks the stream";
  EXPECT_TRUE(hostile.overflowed());
  EXPECT_EQ(delivered.size(), 1u) << "the frame before it was still delivered";
  EXPECT_FALSE(hostile.append(good, delivered)) << "nothing more is cut after the break";
  EXPECT_EQ(hostile.bufferedBytes(), 0u) << "and nothing is kept";
}

TEST(MuxFrameReader, KeepsAPartialFrameUntilItCompletes) {
  MuxFrameReader reader;
  std::vector<MuxFrameReader::Frame> out;
  Bytes big = payload(70'000, 3, 7);
  Bytes stream = frame(big);
  for (size_t from = 0; from < stream.size(); from += 65'536) {
    size_t n = std::min<size_t>(65'536, stream.size() - from);
    ASSERT_TRUE(reader.append(ByteView(stream).subspan(from, n), out));
  }
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].payload, big);
}

}  // namespace
}  // namespace vela
