#include "transport/relay_datagram_flow.hpp"

#include <gtest/gtest.h>

#include "tests/testkit/hex.hpp"
#include "tests/transport/relay/relay_test_kit.hpp"

namespace vela {
namespace {

using namespace relaytest;
using tavlo::testkit::fromHex;

const Bytes token = fromHex("00112233445566778899AABBCCDDEEFF");

// A flow whose relay service is a raw socket of the test.
struct FlowFixture {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler{clock};
  testkit::RawUdp service;
  std::shared_ptr<tavlo::NetThread> thread = tavlo::NetThread::start("relay.flow.test");

  std::shared_ptr<RelayDatagramFlow> open(Relay::Slot slot, Relay::Side side, ByteView withToken = token) {
    RelayDatagramFlow::Params params{RelayService{"127.0.0.1", 0, service.port()}, thread, &scheduler,
                                     RelayDatagramFlow::sessionBufferBytes};
    return RelayDatagramFlow::open(withToken, slot, side, params);
  }
  // The next datagram the flow sent, and where it came from.
  std::pair<tavlo::SocketAddress, Bytes> next() {
    auto received = service.receiveFrom();
    EXPECT_TRUE(received);
    return received.value_or(std::pair<tavlo::SocketAddress, Bytes>{});
  }
};

Bytes datagram(std::string_view headerHex, std::string_view payloadHex) {
  return testkit::joined({fromHex(headerHex), fromHex(payloadHex)});
}

TEST(RelayDatagramFlow, OpensOnlyWithASixteenByteToken) {
  FlowFixture f;
  for (size_t size : {0u, 15u, 17u}) EXPECT_FALSE(f.open(Relay::Slot::video, Relay::Side::host, Bytes(size, 1))) << size;
  auto flow = f.open(Relay::Slot::video, Relay::Side::host);
  ASSERT_TRUE(flow);
  EXPECT_EQ(flow->maxDatagramSize(), 1328);
}

TEST(RelayDatagramFlow, SendsABareHeaderAtStartAndThenEverySecondUntilClosed) {
  FlowFixture f;
  auto flow = f.open(Relay::Slot::audio, Relay::Side::host);
  ASSERT_TRUE(flow);
  flow->start();
  auto [from, first] = f.next();
  EXPECT_EQ(first, fromHex("544C5231 00112233445566778899AABBCCDDEEFF 02 01"));  // exactly 22 bytes

  f.scheduler.advanceBy(999'000);
  flow->send(fromHex("AA"));  // a marker: nothing was sent before it
  EXPECT_EQ(f.next().second.size(), 23u);
  f.scheduler.advanceBy(1'000);
  EXPECT_EQ(f.next().second.size(), 22u);
  f.scheduler.advanceBy(3'000'000);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(f.next().second.size(), 22u) << i;

  flow->close();
  EXPECT_TRUE(flow->incoming().isFinished());
  EXPECT_TRUE(testkit::udpPortIsFree(from)) << "the socket is closed by then";
  f.scheduler.advanceBy(5'000'000);
  flow->send(fromHex("BB"));  // ignored once closed
  EXPECT_FALSE(f.service.receive(std::chrono::milliseconds(50)));
  EXPECT_EQ(f.scheduler.pendingCount(), 0u);
  flow->close();  // a second close changes nothing
  EXPECT_TRUE(flow->incoming().isFinished());
}

TEST(RelayDatagramFlow, SendsEachPayloadBehindTheHeaderAndBatchesInOrder) {
  FlowFixture f;
  auto flow = f.open(Relay::Slot::inputUnreliable, Relay::Side::client);
  ASSERT_TRUE(flow);
  const std::string_view header = "544C5231 00112233445566778899AABBCCDDEEFF 03 00";
  flow->send(fromHex("0102"));
  EXPECT_EQ(f.next().second, datagram(header, "0102"));
  Bytes a = fromHex("0A"), b = fromHex("0B0B"), c(1328, 0x0C);
  ByteView batch[] = {a, b, c};
  flow->sendBatch(batch);
  EXPECT_EQ(f.next().second, datagram(header, "0A"));
  EXPECT_EQ(f.next().second, datagram(header, "0B0B"));
  auto largest = f.next().second;
  EXPECT_EQ(largest.size(), 1350u);
  flow->sendBatch({});
  EXPECT_FALSE(f.service.receive(std::chrono::milliseconds(50)));
}

TEST(RelayDatagramFlow, DeliversOnlyItsSessionsSlotFromTheOtherSideAndDrainsPastKeepalives) {
  FlowFixture f;
  auto flow = f.open(Relay::Slot::audio, Relay::Side::host);
  ASSERT_TRUE(flow);
  flow->send({});
  auto flowAddress = f.next().first;
  // Everything arrives before the flow starts reading, a keepalive first: a drain that stopped at the
  // first short datagram would strand the rest until the next datagram came.
  const std::string_view fromClient = "544C5231 00112233445566778899AABBCCDDEEFF 02 00";
  f.service.sendTo(flowAddress, datagram(fromClient, ""));
  f.service.sendTo(flowAddress, datagram(fromClient, "01"));
  f.service.sendTo(flowAddress, datagram("544C5231 00112233445566778899AABBCCDDEEFF 02 01", "02"));  // own side
  f.service.sendTo(flowAddress, datagram("544C5231 00112233445566778899AABBCCDDEEFF 01 00", "03"));  // video
  f.service.sendTo(flowAddress, datagram("544C5231 FF112233445566778899AABBCCDDEEFF 02 00", "04"));  // token
  f.service.sendTo(flowAddress, datagram(fromClient, "0505"));
  flow->start();
  EXPECT_EQ(receiveWithin(flow->incoming()), fromHex("01"));
  EXPECT_EQ(receiveWithin(flow->incoming()), fromHex("0505"));
  EXPECT_FALSE(receiveWithin(flow->incoming(), std::chrono::milliseconds(50)));
}

TEST(RelayDatagramFlow, ClosesItsSocketWhenReleasedWithoutCloseOrStart) {
  FlowFixture f;
  auto flow = f.open(Relay::Slot::video, Relay::Side::host);
  ASSERT_TRUE(flow);
  flow->send({});
  auto [flowAddress, unused] = f.next();
  flow.reset();
  EXPECT_TRUE(testkit::udpPortIsFree(flowAddress)) << "the socket is closed with its flow";
}

}  // namespace
}  // namespace vela
