#include <gtest/gtest.h>

#include <string>

#include "protocol/byte_reader.hpp"
#include "protocol/byte_writer.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::fromHex;
using tavlo::testkit::toHex;

TEST(ByteCodec, IntegersAndFloatsAreLittleEndian) {
  ByteWriter w;
  w.u8(0xAB);
  w.u16(0x0102);
  w.i16(-2);
  w.u32(0x01020304);
  w.u64(0x0102030405060708ULL);
  w.f32(1.0f);
  EXPECT_EQ(toHex(w.data()), "AB 02 01 FE FF 04 03 02 01 08 07 06 05 04 03 02 01 00 00 80 3F");

  ByteReader r(w.data());
  EXPECT_EQ(r.u8(), 0xAB);
  EXPECT_EQ(r.u16(), 0x0102);
  EXPECT_EQ(r.i16(), -2);
  EXPECT_EQ(r.u32(), 0x01020304u);
  EXPECT_EQ(r.u64(), 0x0102030405060708ULL);
  EXPECT_EQ(r.f32(), 1.0f);
  EXPECT_TRUE(r.isAtEnd());
}

// A read past the end throws before it takes anything; a counted read keeps its length prefix taken.
TEST(ByteCodec, AFailedReadTakesNothingButALengthPrefix) {
  Bytes bytes = fromHex("01 02 03");
  ByteReader r(bytes);
  EXPECT_THROW(r.u32(), WireError);
  EXPECT_EQ(r.offset(), 0u);
  EXPECT_EQ(r.u16(), 0x0201);
  EXPECT_THROW(r.u16(), WireError);
  EXPECT_EQ(r.u8(), 0x03);
  EXPECT_THROW(r.u8(), WireError);

  Bytes shortBody = fromHex("05 00 61 62 63");
  ByteReader s(shortBody);
  try {
    s.stringU16();
    FAIL() << "expected underflow";
  } catch (const WireError& e) {
    EXPECT_EQ(e, WireError::underflow());
  }
  EXPECT_EQ(s.offset(), 2u);
}

TEST(ByteCodec, StringsAreCutAtTheByteCount) {
  ByteWriter w;
  w.stringU8(std::string(300, 'a'));
  ASSERT_EQ(w.data().size(), 256u);
  EXPECT_EQ(w.data()[0], 0xFF);
  EXPECT_EQ(ByteReader(w.data()).stringU8(), std::string(255, 'a'));

  ByteWriter u16;
  u16.stringU16(std::string(70'000, 'b'));
  EXPECT_EQ(u16.data().size(), 2u + 65'535u);
}

TEST(ByteCodec, ACutInsideACharacterReadsBackAsOneReplacement) {
  ByteWriter w;
  w.stringU8(std::string(254, 'x') + "é");
  ASSERT_EQ(w.data().size(), 256u);
  EXPECT_EQ(w.data()[0], 255);
  EXPECT_EQ(w.data()[255], 0xC3);  // first byte of "é"
  EXPECT_EQ(ByteReader(w.data()).stringU8(), std::string(254, 'x') + "\uFFFD");
}

// Each maximal invalid subpart becomes one U+FFFD; valid text passes unchanged.
TEST(ByteCodec, Utf8RepairReplacesMaximalSubparts) {
  const std::string r = "\uFFFD";
  struct Row { const char* hex; std::string expected; const char* why; } rows[] = {
      {"61 C3 A9 E2 82 AC F0 9F 98 80", "a\u00E9\u20AC\U0001F600", "valid 1- to 4-byte characters"},
      {"80", r, "lone continuation byte"},
      {"C0 AF", r + r, "overlong lead C0 never starts a character"},
      {"E2 82", r, "truncated 3-byte sequence is one subpart"},
      {"E2 82 41", r + "A", "truncated sequence followed by ASCII"},
      {"ED A0 80", r + r + r, "surrogate: ED A0 is not a valid prefix"},
      {"F0 80 80 80", r + r + r + r, "overlong 4-byte: F0 80 is not a valid prefix"},
      {"F4 90 80 80", r + r + r + r, "beyond U+10FFFF"},
      {"F0 9F 98", r, "truncated 4-byte sequence at the end"},
      {"F5 41", r + "A", "F5 never starts a character"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ByteReader::repairedUtf8(fromHex(row.hex)), row.expected) << row.why;
  }
}

TEST(ByteCodec, BlobU16IsCutAndBlobU32IsWhole) {
  Bytes blob(70'000, 0x5A);
  ByteWriter w16;
  w16.blobU16(blob);
  EXPECT_EQ(w16.data().size(), 2u + 65'535u);
  EXPECT_EQ(ByteReader(w16.data()).blobU16().size(), 65'535u);

  ByteWriter w32;
  w32.blobU32(blob);
  EXPECT_EQ(w32.data().size(), 4u + 70'000u);
  EXPECT_EQ(ByteReader(w32.data()).blobU32(), blob);
}

TEST(ByteCodec, ReaderOverASliceStartsAtTheSlicesFirstByte) {
  Bytes bytes = fromHex("AA BB 34 12 CC");
  ByteReader r(ByteView(bytes).subspan(2, 2));
  EXPECT_EQ(r.end(), 2u);
  EXPECT_EQ(r.u16(), 0x1234);
  EXPECT_TRUE(r.isAtEnd());
  EXPECT_THROW(r.u8(), WireError);
}

}  // namespace
}  // namespace vela
