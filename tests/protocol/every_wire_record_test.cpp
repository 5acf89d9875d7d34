// Properties every record of the protocol keeps, checked over the one list of record types.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
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

}  // namespace
}  // namespace vela

namespace vela {
namespace {

// The smallest payloads the records' own descriptions state, as the field lists count them.
TEST(WireRecordSizes, SmallestPayloadsMatchTheRecordLayouts) {
  struct Row {
    const char* record;
    size_t counted, stated;
  };
  const Row rows[] = {
      {"VideoChunk", wire::minWireSize<VideoChunk>(), 24},
      {"VideoParity", wire::minWireSize<VideoParity>(), 24},
      {"FrameFeedback", wire::minWireSize<FrameFeedback>(), 26},
      {"CamChunk", wire::minWireSize<CamChunk>(), 17},
      {"AudioPcm", wire::minWireSize<AudioPcm>(), 10},
      {"ClientHello", wire::minWireSize<ClientHello>(), 33},
      {"HostHello", wire::minWireSize<HostHello>(), 19},
      {"Pong", wire::minWireSize<Pong>(), 24},
      {"Probe", wire::minWireSize<Probe>(), 20},
      {"ClipAnnounce", wire::minWireSize<ClipAnnounce>(), 17},
      {"MbbAttach", wire::minWireSize<MbbAttach>(), 10},
      {"KeyEvent", wire::minWireSize<KeyEvent>(), 18},
      {"PointerButton", wire::minWireSize<PointerButton>(), 18},
      {"ScrollEvent", wire::minWireSize<ScrollEvent>(), 34},
      {"PencilDiscrete", wire::minWireSize<PencilDiscrete>(), 27},
      {"PinchEvent", wire::minWireSize<PinchEvent>(), 20},
      {"PencilUpdate", wire::minWireSize<PencilUpdate>(), 11},
      {"PointerMoveBatch", wire::minWireSize<PointerMoveBatch>(), 11},
      {"PencilSampleBatch", wire::minWireSize<PencilSampleBatch>(), 12},
      {"PencilSample", wire::minWireSize<PencilSample>(), PencilSample::byteCount},
      {"PointerMoveRelative", wire::minWireSize<PointerMoveRelative>(), 10},
  };
  for (const auto& row : rows) EXPECT_EQ(row.counted, row.stated) << row.record;
}

}  // namespace
}  // namespace vela
