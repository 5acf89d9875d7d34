#include <gtest/gtest.h>

#include "protocol/message_types.hpp"
#include "protocol/wire_payload.hpp"
#include "tests/testkit/hex.hpp"

namespace vela {
namespace {

using tavlo::testkit::toHex;

// Minimal records in the shape of the protocol's own, so that framing is tested on its own.
struct ByeLike {
  static constexpr Channel channel = Channel::control;
  static constexpr uint8_t msgType = ControlType::bye;
  void encodePayload(ByteWriter&) const {}
  static ByeLike decode(ByteReader&) { return {}; }
};

struct PingLike {
  static constexpr Channel channel = Channel::control;
  static constexpr uint8_t msgType = ControlType::ping;
  uint64_t timestampUs = 0;
  void encodePayload(ByteWriter& w) const { w.u64(timestampUs); }
  static PingLike decode(ByteReader& r) { return {r.u64()}; }
};

struct NackLike {
  static constexpr Channel channel = Channel::video;
  static constexpr uint8_t msgType = VideoType::nack;
  uint32_t frameId = 0;
  void encodePayload(ByteWriter& w) const { w.u32(frameId); }
  static NackLike decode(ByteReader& r) { return {r.u32()}; }
};
struct ChunkLike : NackLike {
  static constexpr uint8_t msgType = VideoType::chunk;
  static ChunkLike decode(ByteReader& r) { return {{r.u32()}}; }
};

static_assert(WirePayload<ByeLike> && WirePayload<PingLike> && WirePayload<NackLike>);

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
  Bytes packet = encodePacket(ByeLike{}, 5, 9);
  EXPECT_EQ(toHex(packet), "54 4C 4B 32 01 00 05 00 05 00 00 00 09 00 00 00");
  RawPacket raw = RawPacket::decode(packet);
  EXPECT_TRUE(raw.reader.isAtEnd());
  EXPECT_NO_THROW(raw.decodePayload<ByeLike>());
}

TEST(RawPacket, ChannelIsCheckedBeforeType) {
  Bytes packet = encodePacket(NackLike{77}, 1, 2);
  RawPacket raw = RawPacket::decode(packet);
  EXPECT_EQ(raw.decodePayload<NackLike>().frameId, 77u);
  EXPECT_EQ(errorDecodingAs<ChunkLike>(raw), WireError::unknownMessageType(1, 0x11));
  EXPECT_EQ(errorDecodingAs<PingLike>(raw), WireError::unknownChannel(1));
}

TEST(RawPacket, DecodingTwiceGivesTheSameRecordAndIgnoresTrailingBytes) {
  Bytes packet = encodePacket(PingLike{0x1122334455667788ULL}, 0, 0);
  packet.insert(packet.end(), 10, 0xEE);
  RawPacket raw = RawPacket::decode(packet);
  EXPECT_EQ(raw.decodePayload<PingLike>().timestampUs, 0x1122334455667788ULL);
  EXPECT_EQ(raw.decodePayload<PingLike>().timestampUs, 0x1122334455667788ULL);
  EXPECT_EQ(raw.reader.offset(), 16u) << "decodePayload works on a copy of the reader";
}

TEST(RawPacket, HeaderErrorsPropagateUnchanged) {
  Bytes packet = encodePacket(ByeLike{}, 0, 0);
  packet[4] = 9;
  EXPECT_THROW(
      try { RawPacket::decode(packet); } catch (const WireError& e) {
        EXPECT_EQ(e, WireError::unsupportedVersion(9));
        throw;
      },
      WireError);
}

}  // namespace
}  // namespace vela
