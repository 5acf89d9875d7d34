#include <gtest/gtest.h>

#include <vector>

#include "protocol/media_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;

const FrameFlags keyframeWithParams = FrameFlags::idr | FrameFlags::inBandParamSets;

TEST(MediaMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("chunk: every fixed field at its offset, then the payload",
             VideoChunk{0x01020304, 2, 3, keyframeWithParams, ltrTokenNone, 1, 0x1122334455667788, 1000, {0xAA, 0xBB}},
             "04 03 02 01 02 00 03 00 09 FF 01 00 88 77 66 55 44 33 22 11 E8 03 00 00 AA BB"),
      golden("chunk with an empty payload is the 24-byte fixed part", VideoChunk{7, 0, 1, {}, 0, 1, 0, 0, {}},
             "07 00 00 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      golden("unknown frame flag bits travel unchanged", VideoChunk{0, 0, 0, FrameFlags(0xF2), 0, 0, 0, 0, {}},
             "00 00 00 00 00 00 00 00 F2 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      decodesAs("a chunk index not below its count is not checked",
                "01 00 00 00 05 00 02 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00",
                VideoChunk{1, 5, 2, {}, 0, 1, 0, 0, {}}),
      golden("parity: group index and count sit where a chunk has its index",
             VideoParity{9, 1, 3, 10, FrameFlags::isLTR, 4, 2, 5, 12000, {0x0F}},
             "09 00 00 00 01 03 0A 00 02 04 02 00 05 00 00 00 00 00 00 00 E0 2E 00 00 0F"),
      golden("nack [5, 7, 13]: base 5, bitmap 05 01", VideoNack::fromMissing(0x10, 3, std::vector<uint16_t>{5, 7, 13}),
             "10 00 00 00 03 00 05 00 02 05 01"),
      golden("nack of nothing: base 0 and one zero byte", VideoNack::fromMissing(1, 1, {}),
             "01 00 00 00 01 00 00 00 01 00"),
      decodesAs("bytes after the bitmap are ignored", "01 00 00 00 01 00 00 00 01 03 EE EE",
                VideoNack{1, 1, 0, {0x03}}),
      golden("complete feedback is 31 bytes",
             FrameFeedback{0x0A, 2, FrameFeedback::Status::recoveredViaNack, 1, 3, 4000, 2500, 0x0102030405060708, 2, 25000},
             "0A 00 00 00 02 00 01 01 03 00 A0 0F 00 00 C4 09 00 00 08 07 06 05 04 03 02 01 02 A8 61 00 00"),
      decodesAs("26-byte feedback: both optional fields 0",
                "0A 00 00 00 02 00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                FrameFeedback{0x0A, 2, FrameFeedback::Status::recoveredViaFec, 0, 0, 0, 0, 0, 0, 0}),
      decodesAs("27-byte feedback carries delaySignal and a zero rate",
                "0A 00 00 00 02 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 03",
                FrameFeedback{0x0A, 2, FrameFeedback::Status::lost, 0, 0, 0, 0, 0, 3, 0}),
      decodesAs("30-byte feedback: three rate bytes are too few and are not read",
                "0A 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 FF FF FF",
                FrameFeedback{0x0A, 2, FrameFeedback::Status::clean, 0, 0, 0, 0, 0, 1, 0}),
      golden("camera chunk: keyframe as one byte", CamChunk{3, 0, 2, true, 99, {0x40, 0x01}},
             "03 00 00 00 00 00 02 00 01 63 00 00 00 00 00 00 00 40 01"),
      decodesAs("any non-zero keyframe byte reads as true", "03 00 00 00 00 00 02 00 02 63 00 00 00 00 00 00 00",
                CamChunk{3, 0, 2, true, 99, {}}),
      golden("audio: the reserved byte is written 0", AudioPcm{0x0100, 1, {0xFC, 0xFF}}, "00 01 00 00 00 00 00 00 01 00 FC FF"),
      decodesAs("audio: the reserved byte is ignored", "00 01 00 00 00 00 00 00 01 7F", AudioPcm{0x0100, 1, {}}),
      decodesAs("audio of ten bytes has an empty payload", "01 00 00 00 00 00 00 00 00 00", AudioPcm{1, 0, {}}),
      golden("microphone: the layout of audio", MicPcm{5, 2, {0x01}}, "05 00 00 00 00 00 00 00 02 00 01"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(MediaMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<FrameFeedback>("status 4 is checked as soon as it is read", "0A 00 00 00 02 00 04",
                         WireError::malformed("feedback status 4")),
      bad<FrameFeedback>("status 255", "0A 00 00 00 02 00 FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                         WireError::malformed("feedback status 255")),
      bad<FrameFeedback>("25 bytes miss part of the receive time stamp",
                         "0A 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                         WireError::underflow()),
      bad<AudioPcm>("audio of 9 bytes misses the reserved byte", "00 00 00 00 00 00 00 00 01", WireError::underflow()),
      bad<MicPcm>("microphone of 9 bytes", "00 00 00 00 00 00 00 00 01", WireError::underflow()),
      bad<VideoChunk>("chunk of 23 bytes", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                      WireError::underflow()),
      bad<CamChunk>("camera chunk of 16 bytes", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", WireError::underflow()),
      bad<VideoNack>("bitmap length 3 with two bytes left", "01 00 00 00 01 00 00 00 03 01 02", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(VideoNack, MissingChunksReadsBitsInAscendingOrder) {
  struct Row { const char* why; uint16_t base; Bytes bitmap; std::vector<uint16_t> expected; };
  const Row rows[] = {
      {"zero bytes are skipped, bit 7 of byte 1 is base + 15", 100, {0x00, 0x80}, {115}},
      {"bits within a byte from 0 to 7", 5, {0x05, 0x01}, {5, 7, 13}},
      {"an empty bitmap names nothing", 0, {}, {}},
      {"bits past 65,535 name no chunk", 65530, {0xFF, 0xFF}, {65530, 65531, 65532, 65533, 65534, 65535}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ((VideoNack{1, 1, row.base, row.bitmap}.missingChunks()), row.expected);
  }
}

TEST(VideoNack, BuiltFromAnyOrderAndRecoveredExactly) {
  std::vector<uint16_t> missing{900, 3, 17, 18, 640, 3 + 7, 255};
  VideoNack nack = VideoNack::fromMissing(1, 1, missing);
  std::sort(missing.begin(), missing.end());
  EXPECT_EQ(nack.baseChunkIdx, 3);
  EXPECT_EQ(nack.bitmap.size(), (900u - 3) / 8 + 1);
  EXPECT_EQ(nack.missingChunks(), missing);
}

}  // namespace
}  // namespace vela
