#include <gtest/gtest.h>

#include "protocol/clipboard_messages.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

using namespace vela::wiretest;

std::string zeroBytes(size_t count) {
  std::string hex;
  for (size_t i = 0; i < count; ++i) hex += " 00";
  return hex;
}

TEST(ClipboardMessages, GoldenVectors) {
  const GoldenVector rows[] = {
      golden("empty announcement: 17 bytes", ClipAnnounce{0, "", 0, "", std::nullopt},
             "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      golden("announcement with its bytes inline",
             ClipAnnounce{0x0102, "public.utf8-plain-text", 2, "", Bytes{0x68, 0x69}},
             "02 01 00 00 00 00 00 00 16 00 70 75 62 6C 69 63 2E 75 74 66 38 2D 70 6C 61 69 6E 2D 74 65 78 74"
             " 02 00 00 00 00 00 01 02 00 00 00 68 69"),
      golden("an empty inline buffer is present", ClipAnnounce{1, "", 0, "a", Bytes{}},
             "01 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 61 01 00 00 00 00"),
      decodesAs("flag 2 means no inline bytes", "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 03 00 00 00 AA",
                ClipAnnounce{1, "", 0, "", std::nullopt}),
      golden("request from an offset", ClipRequest{1, 16384}, "01 00 00 00 00 00 00 00 00 40 00 00"),
      golden("data piece", ClipData{7, 10, 6, {1, 2, 3, 4}}, "07 00 00 00 00 00 00 00 0A 00 00 00 06 00 00 00 04 00 00 00 01 02 03 04"),
  };
  for (const auto& row : rows) expectGolden(row);
}

TEST(ClipboardMessages, BadPayloads) {
  const BadPayload rows[] = {
      bad<ClipAnnounce>("the flag byte after the name is required", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                        WireError::underflow()),
      bad<ClipAnnounce>("flag 1 with a length longer than what follows",
                        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 05 00 00 00 AA", WireError::underflow()),
      bad<ClipData>("a chunk length of 100 with 99 bytes",
                    "07 00 00 00 00 00 00 00 64 00 00 00 00 00 00 00 64 00 00 00" + zeroBytes(99),
                    WireError::underflow()),
      bad<ClipData>("a 4 GiB length over an empty body fails before allocating",
                    "07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF FF FF FF", WireError::underflow()),
      bad<ClipRequest>("request of 11 bytes", "01 00 00 00 00 00 00 00 00 40 00", WireError::underflow()),
  };
  for (const auto& row : rows) expectBad(row);
}

TEST(ClipData, IsLastWhenThePieceReachesTheTotal) {
  struct Row { const char* why; uint32_t total, offset; size_t chunkSize; bool last; };
  const Row rows[] = {
      {"the piece ends exactly at the total", 10, 6, 4, true},
      {"one byte short", 10, 6, 3, false},
      {"an empty item", 0, 0, 0, true},
      {"offset near 4 GiB does not wrap around", 0xFFFFFFFF, 0xFFFFFFF0, 0x20, true},
      {"a piece past the total still ends the item", 10, 8, 4, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ((ClipData{1, row.total, row.offset, Bytes(row.chunkSize)}.isLast()), row.last);
  }
}

}  // namespace
}  // namespace vela
