#include <gtest/gtest.h>

#include "protocol/transport_interfaces.hpp"

namespace vela {
namespace {

class RecordingFlow : public DatagramFlow {
 public:
  void send(ByteView datagram) override { sent.emplace_back(datagram.begin(), datagram.end()); }
  PacketStream& incoming() override { return incoming_; }
  void close() override {}
  std::vector<Bytes> sent;

 private:
  PacketStream incoming_;
};

TEST(DatagramFlow, DefaultBatchSendsInListOrder) {
  RecordingFlow flow;
  flow.sendBatch({});
  EXPECT_TRUE(flow.sent.empty());

  Bytes a{1}, b{2, 2}, c{3, 3, 3};
  std::vector<ByteView> batch{a, b, c};
  flow.sendBatch(batch);
  EXPECT_EQ(flow.sent, (std::vector<Bytes>{a, b, c}));
}

TEST(SessionTransport, RelayedDescriptionIgnoresCase) {
  EXPECT_TRUE(isRelayedDescription("relay/klient"));
  EXPECT_TRUE(isRelayedDescription("Relay/ab12cd34"));
  EXPECT_TRUE(isRelayedDescription("RELAY/"));
  EXPECT_FALSE(isRelayedDescription("relay"));
  EXPECT_FALSE(isRelayedDescription("192.168.1.20:50123"));
  EXPECT_FALSE(isRelayedDescription("[fe80::1]:5000"));
}

}  // namespace
}  // namespace vela
