#include <gtest/gtest.h>

#include "protocol/media_messages.hpp"
#include "protocol/session_messages.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::toHex;

template <class T>
WireError errorDecodingAs(const RawPacket& packet) {
  try {
    packet.decodePayload<T>();
  } catch (const WireError& e) {
    return e;
  }
  ADD_FAILURE() << "decoded";
  return WireError::malformed("none");
}

TEST(RawPacket, EmptyRecordIsTheBareHeader) {
  Bytes packet = encodePacket(Bye{}, 5, 9);
  EXPECT_EQ(toHex(packet), "54 4C 4B 32 01 00 05 00 05 00 00 00 09 00 00 00");
  RawPacket raw = RawPacket::decode(packet);
  EXPECT_TRUE(raw.reader.isAtEnd());
  EXPECT_NO_THROW(raw.decodePayload<Bye>());
}

TEST(RawPacket, ChannelIsCheckedBeforeType) {
  Bytes packet = encodePacket(VideoNack::fromMissing(77, 1, {}), 1, 2);
  RawPacket raw = RawPacket::decode(packet);
  EXPECT_EQ(raw.decodePayload<VideoNack>().frameId, 77u);
  EXPECT_EQ(errorDecodingAs<VideoChunk>(raw), WireError::unknownMessageType(1, 0x11));
  EXPECT_EQ(errorDecodingAs<Ping>(raw), WireError::unknownChannel(1));
}

TEST(RawPacket, DecodingTwiceGivesTheSameRecordAndIgnoresTrailingBytes) {
  Bytes packet = encodePacket(Ping{0x1122334455667788ULL}, 0, 0);
  packet.insert(packet.end(), 10, 0xEE);
  RawPacket raw = RawPacket::decode(packet);
  EXPECT_EQ(raw.decodePayload<Ping>().t1, 0x1122334455667788ULL);
  EXPECT_EQ(raw.decodePayload<Ping>().t1, 0x1122334455667788ULL);
  EXPECT_EQ(raw.reader.offset(), 16u) << "decodePayload works on a copy of the reader";
}

TEST(RawPacket, HeaderErrorsPropagateUnchanged) {
  Bytes packet = encodePacket(Bye{}, 0, 0);
  packet[4] = 9;
  try {
    RawPacket::decode(packet);
    ADD_FAILURE() << "decoded";
  } catch (const WireError& e) {
    EXPECT_EQ(e, WireError::unsupportedVersion(9));
  }
}

}  // namespace
}  // namespace vela
