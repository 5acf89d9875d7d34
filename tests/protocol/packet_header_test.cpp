#include <gtest/gtest.h>

#include "protocol/packet_header.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::fromHex;
using tavlo::testkit::toHex;

WireError decodeError(const Bytes& bytes) {
  ByteReader reader(bytes);
  try {
    PacketHeader::decode(reader);
  } catch (const WireError& e) {
    return e;
  }
  ADD_FAILURE() << "decoded without error: " << toHex(bytes);
  return WireError::malformed("none");
}

TEST(PacketHeader, EncodesTheReferenceVector) {
  ByteWriter w;
  PacketHeader{Channel::video, 0x10, {}, 0x0304, 7}.encode(w);
  EXPECT_EQ(toHex(w.data()), "54 4C 4B 32 01 01 10 00 04 03 00 00 07 00 00 00");
}

TEST(PacketHeader, DecodesAndLeavesTheReaderOnThePayload) {
  Bytes bytes = fromHex("54 4C 4B 32 01 04 7F 02 78 56 34 12 01 00 00 80 EE");
  ByteReader r(bytes);
  PacketHeader h = PacketHeader::decode(r);
  EXPECT_EQ(h, (PacketHeader{Channel::inputUnreliable, 0x7F, {0x02}, 0x12345678, 0x80000001}));
  EXPECT_EQ(h.flags.rawValue, 0x02) << "unknown flag bits are kept";
  EXPECT_EQ(r.offset(), 16u);
  EXPECT_EQ(r.u8(), 0xEE);
}

// The checks run in wire order and stop at the first failure.
TEST(PacketHeader, DecodingFailuresComeInWireOrder) {
  struct Row { const char* hex; WireError expected; const char* why; } rows[] = {
      {"54 4C 4B 32 01 01 10 00 04 03 00 00 07 00 00", WireError::underflow(), "15 bytes of a valid header"},
      {"", WireError::underflow(), "empty"},
      {"54 4C 4B", WireError::underflow(), "three magic bytes"},
      {"54 4C 4B 33", WireError::badMagic(), "four bytes, wrong magic: magic is read whole first"},
      {"54 4C 4B 33 01 01 10 00 04 03 00 00 07 00 00 00", WireError::badMagic(), "fourth byte 0x33"},
      {"54 4C 4B 32", WireError::underflow(), "magic only"},
      {"54 4C 4B 32 02 09 10 00", WireError::unsupportedVersion(2), "version before channel"},
      {"54 4C 4B 32 01 05 10 00 00 00 00 00 00 00 00 00", WireError::unknownChannel(5), "channel 5"},
      {"54 4C 4B 32 01 FF", WireError::unknownChannel(255), "channel checked as soon as read"},
      {"54 4C 4B 32 01 00 10", WireError::underflow(), "flags missing"},
      {"54 4C 4B 32 01 00 10 01 00 00 00 00 00 00 00 00", WireError::encryptedNotSupported(), "flag 0x01"},
      {"54 4C 4B 32 01 00 10 03", WireError::encryptedNotSupported(), "flag 0x01 before the ids"},
      {"54 4C 4B 32 01 00 10 00 00 00 00 00 00 00 00", WireError::underflow(), "seq short"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(decodeError(fromHex(row.hex)), row.expected) << row.why;
  }
}

}  // namespace
}  // namespace vela
