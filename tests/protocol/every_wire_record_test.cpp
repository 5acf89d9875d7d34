// Properties every record of the protocol keeps, checked over the one list of record types.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <numeric>
#include <string>

#include "protocol/wire_record_list.hpp"
#include "tests/protocol/wire_vectors.hpp"

namespace vela {
namespace {

template <class List>
struct GtestTypes;
template <class... Records>
struct GtestTypes<WireRecordList<Records...>> {
  using type = ::testing::Types<Records...>;
};

struct RecordName {
  template <class T>
  static std::string GetName(int) {
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, nullptr),
                                                std::free);
    std::string text = name ? name.get() : typeid(T).name();
    size_t colon = text.rfind(':');
    return colon == std::string::npos ? text : text.substr(colon + 1);
  }
};

template <class T>
class EveryWireRecord : public ::testing::Test {
 protected:
  // A seed per record type, so that a failure replays alone.
  tavlo::SeededRandom random{0x5EED0000u + (uint64_t{rawValue(T::channel)} << 8) + T::msgType};
};
TYPED_TEST_SUITE(EveryWireRecord, GtestTypes<AllWireRecords>::type, RecordName);

TYPED_TEST(EveryWireRecord, RandomRecordsSurviveThePacketRoundTrip) {
  for (int i = 0; i < 300; ++i) {
    TypeParam record = wire::randomValue<TypeParam>(this->random);
    uint32_t sessionId = static_cast<uint32_t>(this->random.nextU64());
    Bytes packet = encodePacket(record, sessionId, static_cast<uint32_t>(i));
    RawPacket raw = RawPacket::decode(packet);
    EXPECT_EQ(raw.header.channel, TypeParam::channel);
    EXPECT_EQ(raw.header.msgType, TypeParam::msgType);
    EXPECT_EQ(raw.header.sessionId, sessionId);
    ASSERT_TRUE(raw.decodePayload<TypeParam>() == record) << "record " << i;
  }
}

TYPED_TEST(EveryWireRecord, EveryTruncationDecodesOrThrowsWireError) {
  // A few records suffice: each gives every prefix, and lists of 255 elements make that quadratic.
  for (int i = 0; i < 5; ++i) {
    Bytes payload = wiretest::payloadOf(wire::randomValue<TypeParam>(this->random));
    for (size_t size = 0; size <= payload.size(); ++size) {
      try {
        (void)wiretest::decodeExact<TypeParam>(ByteView(payload).first(size));
      } catch (const WireError&) {
        // A short payload may fail, but only this way.
      }
    }
  }
}

TYPED_TEST(EveryWireRecord, TrailingBytesAreIgnored) {
  TypeParam record = wire::randomValue<TypeParam>(this->random);
  Bytes payload = wiretest::payloadOf(record);
  size_t encodedSize = payload.size();
  payload.insert(payload.end(), {0xEE, 0xEE, 0xEE});
  ByteReader reader(payload);
  TypeParam decoded = TypeParam::decode(reader);
  // Records that end in "the rest of the packet" take the extra bytes; the others leave them unread.
  if (reader.offset() == encodedSize) {
    EXPECT_TRUE(decoded == record);
  } else {
    EXPECT_TRUE(reader.isAtEnd());
  }
}

// A record must send its long fields through the helper that cuts them at their length prefix: a count
// written on its own would wrap and leave the peer reading the wrong bytes.
TEST(WireRecordCuts, LongFieldsAreCutToWhatTheirLengthPrefixCounts) {
  using wiretest::decodeExact;
  using wiretest::payloadOf;
  std::vector<uint16_t> manyMissing(3000);
  std::iota(manyMissing.begin(), manyMissing.end(), uint16_t{1000});
  const VideoNack longNack = VideoNack::fromMissing(1, 1, manyMissing);
  ASSERT_EQ(longNack.bitmap.size(), 375u);
  struct Row { const char* why; Bytes payload; size_t size; std::function<void(ByteView)> check; };
  const Row rows[] = {
      {"video parameter sets: 65,535 of 70,000 bytes",
       payloadOf(VideoConfig{1, 1, 1, 1, 1, VideoCodec::hevc8, 8, 30, Bytes(70'000, 0x5A)}), 14 + 2 + 65'535,
       [](ByteView p) { EXPECT_EQ(decodeExact<VideoConfig>(p).hvcc.size(), 65'535u); }},
      {"text input: 65,535 of 70,000 bytes", payloadOf(TextInput{std::string(70'000, 't')}), 2 + 65'535,
       [](ByteView p) { EXPECT_EQ(decodeExact<TextInput>(p).text.size(), 65'535u); }},
      {"switch info: 255 of 300 bytes", payloadOf(SwitchInfo{std::string(300, 's')}), 1 + 255,
       [](ByteView p) { EXPECT_EQ(p[0], 255); }},
      {"pointer batch: 255 of 300 samples, counted after the generation",
       payloadOf(PointerMoveBatch{1, 2, std::vector<PointerMoveBatch::Sample>(300, {7, 8, 9})}), 11 + 255 * 6,
       [](ByteView p) {
         EXPECT_EQ(p[2], 255);
         EXPECT_EQ(decodeExact<PointerMoveBatch>(p).samples.size(), 255u);
       }},
      {"pencil batch: 255 of 300 samples", payloadOf(PencilSampleBatch{1, 0, 2, std::vector<PencilSample>(300)}),
       12 + 255 * PencilSample::byteCount, [](ByteView) {}},
      {"a NACK bitmap of 375 bytes: the first 255 name the first 2,040 places", payloadOf(longNack), 9 + 255,
       [](ByteView p) {
         EXPECT_EQ(p[8], 255);
         std::vector<uint16_t> named = decodeExact<VideoNack>(p).missingChunks();
         ASSERT_EQ(named.size(), 2040u);
         EXPECT_EQ(named.front(), 1000);
         EXPECT_EQ(named.back(), 1000 + 2039);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(row.payload.size(), row.size);
    row.check(row.payload);
  }
}

}  // namespace
}  // namespace vela
