#include "transport/mux_frame_reader.hpp"

#include <gtest/gtest.h>

#include "e2e/e2e_envelope.hpp"
#include "tests/transport/raw_sockets.hpp"

namespace vela {
namespace {

using Route = MuxFrameReader::Route;
using testkit::joined;
using testkit::muxFrame;

// A payload of `size` bytes whose byte 5 is `channel` and whose other bytes count up from `seed`.
Bytes payload(size_t size, uint8_t channel, uint8_t seed = 0) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i);
  if (size > 5) out[5] = channel;
  return out;
}

// An envelope's byte 5 is nonce, not a channel: whatever it holds, the frame goes to control, so one
// reader keeps the order of everything sealed.
TEST(MuxFrameReader, SendsEverySealedEnvelopeToControl) {
  Bytes envelope = payload(60, 3, 9);
  std::copy(E2EEnvelope::magic.begin(), E2EEnvelope::magic.end(), envelope.begin());
  Bytes plainInput = payload(60, 3, 9);
  MuxFrameReader reader;
  std::vector<MuxFrameReader::Frame> out;
  ASSERT_TRUE(reader.append(joined({muxFrame(envelope), muxFrame(plainInput)}), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].route, Route::control);
  EXPECT_EQ(out[1].route, Route::inputReliable) << "a plain packet is still routed by its channel byte";
}

TEST(MuxFrameReader, CutsFramesWhateverThePieces) {
  Bytes a = payload(20, 0, 1), b = payload(100, 3, 2);
  Bytes stream = joined({muxFrame(a), muxFrame(b)});
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

TEST(MuxFrameReader, RoutesByByteFiveOnlyAndDropsPayloadsTooShortToRoute) {
  struct Row {
    size_t size;
    uint8_t byte5;
    std::optional<Route> route;  // none: dropped
    const char* why;
  };
  const Row rows[] = {
      {6, 3, Route::inputReliable, "reliable input"},
      {6, 0, Route::control, "control"},
      {6, 1, Route::control, "video is not a TCP channel: control takes it"},
      {6, 2, Route::control, "audio likewise"},
      {6, 4, Route::control, "unreliable input likewise"},
      {6, 0xFF, Route::control, "any larger value, as in a sealed envelope"},
      {0, 0, std::nullopt, "an empty payload (the client's first frame) is consumed"},
      {5, 3, std::nullopt, "a payload without byte five is consumed"},
  };
  for (const auto& row : rows) {
    MuxFrameReader reader;
    std::vector<MuxFrameReader::Frame> out;
    Bytes next = payload(16, 0, 9);
    ASSERT_TRUE(reader.append(joined({muxFrame(payload(row.size, row.byte5)), muxFrame(next)}), out)) << row.why;
    ASSERT_EQ(out.size(), row.route ? 2u : 1u) << row.why;
    if (row.route) {
      EXPECT_EQ(out[0].route, *row.route) << row.why;
    }
    EXPECT_EQ(out.back().payload, next) << row.why << ": the next frame is still found";
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
  EXPECT_LT(reader.reservedBytes(), 2u << 20) << "a claimed length alone does not make the reader hold 16 MiB";
  Bytes body = payload(atLimit, 0);
  for (size_t at = 0; at < body.size(); at += 65'536)
    ASSERT_TRUE(reader.append(ByteView(body).subspan(at, std::min<size_t>(65'536, body.size() - at)), out));
  ASSERT_EQ(out.size(), 1u) << "its bytes, as they arrive, complete it";
  EXPECT_EQ(out[0].payload, body);

  MuxFrameReader hostile;
  Bytes good = muxFrame(payload(8, 0));
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

}  // namespace
}  // namespace vela
