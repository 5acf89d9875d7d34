// The direct path end to end: a DirectDialer against a HostListener on loopback.
#include <gtest/gtest.h>

#include "protocol/flow_bind.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/bsd_datagram_flow.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using testkit::ConnectedPair;
using testkit::LoopbackHost;
using testkit::receiveWithin;

struct Setup {
  const char* address;
  bool bsdVideo;
};

std::string name(const ::testing::TestParamInfo<Setup>& info) {
  return std::string(std::string(info.param.address) == "::1" ? "IPv6" : "IPv4") +
         (info.param.bsdVideo ? "BsdVideo" : "UdpFlowVideo");
}

DirectDialer dialerFor(const Setup& setup) {
  auto settings = std::make_shared<tavlo::Settings>();
  settings->set(DirectDialer::bsdVideoRxKey, setup.bsdVideo);
  DirectDialer dialer;
  dialer.settings = settings;
  return dialer;
}

// A packet of `size` bytes for `channel`, numbered so that order and content can be checked.
Bytes frame(Channel channel, uint32_t index, size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(index * 31 + i);
  out[5] = rawValue(channel);
  for (int i = 0; i < 4 && 6 + i < static_cast<int>(size); ++i) out[6 + static_cast<size_t>(i)] = static_cast<uint8_t>(index >> (8 * i));
  return out;
}

size_t frameSize(uint32_t i) { return i % 10 == 9 ? 70'000 - (i * 37) % 4000 : 6 + (i * 131) % 1500; }

class DirectTransport : public ::testing::TestWithParam<Setup> {};

TEST_P(DirectTransport, CarriesEveryChannelBothWaysAndClosesAllFive) {
  if (testkit::checkedWithoutIpv6(GetParam().address, dialerFor(GetParam()))) return;
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ConnectedPair pair = testkit::connectPair(host, GetParam().address, dialerFor(GetParam()));
  ASSERT_TRUE(pair.client && pair.host);
  EXPECT_EQ(pair.host->remoteDescription(), pair.client->mux()->connection()->localDescription());
  EXPECT_EQ(host.nextSession(std::chrono::milliseconds(0)), nullptr) << "exactly one transport";
  EXPECT_EQ(pair.client->remoteDescription(), GetParam().address);
  EXPECT_EQ(dynamic_cast<BSDDatagramFlow*>(&pair.client->video()) != nullptr, GetParam().bsdVideo);

  // 1,000 reliable frames each way, control and reliable input interleaved, 6 to 70,000 bytes.
  constexpr uint32_t frames = 1000;
  auto isInput = [](uint32_t i) { return i % 3 == 1; };
  for (uint32_t i = 0; i < frames; ++i) {
    Channel channel = isInput(i) ? Channel::inputReliable : Channel::control;
    (isInput(i) ? pair.client->inputReliable() : pair.client->control()).send(frame(channel, i, frameSize(i)));
    (isInput(i) ? pair.host->inputReliable() : pair.host->control()).send(frame(channel, i, frameSize(i)));
  }
  for (auto* side : {pair.host.get(), pair.client.get()}) {
    for (uint32_t i = 0; i < frames; ++i) {
      Channel channel = isInput(i) ? Channel::inputReliable : Channel::control;
      auto got = receiveWithin((isInput(i) ? side->inputReliable() : side->control()).incoming());
      ASSERT_TRUE(got) << "frame " << i;
      ASSERT_EQ(*got, frame(channel, i, frameSize(i))) << "frame " << i;
    }
  }
  EXPECT_TRUE(testkit::waitUntil(host.listener(), [&] {
    return pair.client->control().outstandingBytes() == 0 && pair.host->control().outstandingBytes() == 0;
  })) << "outstanding bytes return to 0";

  // Datagrams both ways on all three flows; the host first sees each flow's bind datagram.
  struct Flow {
    DatagramFlow& client;
    DatagramFlow& host;
    Channel channel;
  };
  Flow flows[] = {{pair.client->video(), pair.host->video(), Channel::video},
                  {pair.client->audio(), pair.host->audio(), Channel::audio},
                  {pair.client->inputUnreliable(), pair.host->inputUnreliable(), Channel::inputUnreliable}};
  for (auto& flow : flows) {
    EXPECT_EQ(receiveWithin(flow.host.incoming()), flowBindDatagram(flow.channel));
    Bytes up = frame(flow.channel, 1, 1350), down = frame(flow.channel, 2, 1350);
    flow.client.send(up);
    EXPECT_EQ(receiveWithin(flow.host.incoming()), up);
    std::vector<ByteView> batch{down, down, down};
    flow.host.sendBatch(batch);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(receiveWithin(flow.client.incoming()), down);
  }

  pair.host->close();
  EXPECT_TRUE(pair.host->isClosed());
  for (PacketStream* stream : {&pair.host->control().incoming(), &pair.host->inputReliable().incoming(),
                               &pair.host->video().incoming(), &pair.host->audio().incoming(),
                               &pair.host->inputUnreliable().incoming()}) {
    EXPECT_EQ(receiveWithin(*stream), std::nullopt);
    EXPECT_TRUE(stream->isFinished());
  }
  EXPECT_EQ(receiveWithin(pair.client->control().incoming()), std::nullopt) << "the client sees the connection end";
  EXPECT_EQ(receiveWithin(pair.client->inputReliable().incoming()), std::nullopt);
  pair.host->close();  // a second close is harmless
}

TEST_P(DirectTransport, StopEndsSessionsWhileALiveTransportKeepsWorking) {
  if (testkit::checkedWithoutIpv6(GetParam().address, dialerFor(GetParam()))) return;
  LoopbackHost host;
  ASSERT_TRUE(host.start());
  ConnectedPair pair = testkit::connectPair(host, GetParam().address, dialerFor(GetParam()));
  ASSERT_TRUE(pair.client && pair.host);
  host.stop();
  EXPECT_TRUE(host.acceptLoopEnded());
  EXPECT_THROW(dialerFor(GetParam()).connect(GetParam().address, host.basePort()), TransportError)
      << "nothing accepts connections any more";

  Bytes ping = frame(Channel::control, 5, 40);
  pair.client->control().send(ping);
  EXPECT_EQ(receiveWithin(pair.host->control().incoming()), ping);
  pair.host->control().send(ping);
  EXPECT_EQ(receiveWithin(pair.client->control().incoming()), ping);
  receiveWithin(pair.host->video().incoming());  // the bind datagram
  Bytes chunk = frame(Channel::video, 6, 1350);
  pair.client->video().send(chunk);
  EXPECT_EQ(receiveWithin(pair.host->video().incoming()), chunk);
  pair.host->video().send(chunk);
  EXPECT_EQ(receiveWithin(pair.client->video().incoming()), chunk);
}

INSTANTIATE_TEST_SUITE_P(Loopback, DirectTransport,
                         ::testing::Values(Setup{"127.0.0.1", true}, Setup{"127.0.0.1", false}, Setup{"::1", true},
                                           Setup{"::1", false}),
                         name);

TEST(DirectDialer, RefusesAPortThatCannotStartABlockAndAHostThatDoesNotAnswer) {
  EXPECT_THROW(DirectDialer{}.connect("127.0.0.1", 0), TransportError);
  EXPECT_THROW(DirectDialer{}.connect("127.0.0.1", 65533), TransportError);
  uint16_t closed;
  {
    LoopbackHost host;
    ASSERT_TRUE(host.start());
    closed = host.basePort();
  }
  EXPECT_EQ(testkit::transportErrorOf([&] { DirectDialer{}.connect("127.0.0.1", closed); }), TransportError::notReady())
      << "a host that does not answer";
}

TEST(DirectSessionTransport, TheClientsInputRebindIsAdoptedOnceItProvesTheKey) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  LoopbackHost host(&scheduler);
  ASSERT_TRUE(host.start());
  auto verified = std::make_shared<tavlo::Channel<Bytes>>();
  auto pair = testkit::connectPair(host, "127.0.0.1", dialerFor({"127.0.0.1", true}));
  ASSERT_TRUE(pair.client && pair.host);
  pair.host->inputBox()->setAdoptionVerifier([verified](ByteView d) {
    verified->send(Bytes(d.begin(), d.end()));
    return d.size() == 5 && d[0] == 'S';
  });
  EXPECT_EQ(receiveWithin(pair.host->inputUnreliable().incoming()), flowBindDatagram(Channel::inputUnreliable));

  EXPECT_TRUE(pair.client->rebindInputFlow());
  EXPECT_EQ(pair.client->inputBox()->adoptions(), 1) << "the client trusts its own new socket at once";
  ASSERT_TRUE(testkit::waitUntil(host.listener(), [&] { return !host.listener().snapshot().unpairedFlowRemotes[2].empty(); }));
  clock.advanceUs(RebindableUDPFlow::primarySilenceUs);  // the old socket sends nothing any more
  scheduler.advanceBy(HostListener::lateChildDelayUs);
  ASSERT_TRUE(testkit::waitUntil(host.listener(), [&] { return pair.host->inputBox()->candidateCount() == 1; }));
  auto bind = receiveWithin(*verified);
  ASSERT_TRUE(bind) << "the first datagram of the new source is the bind header";
  EXPECT_EQ(bind->size(), 16u);
  EXPECT_EQ(Bytes(bind->begin() + 4, bind->begin() + 8), (Bytes{1, 4, 0, 0}));
  EXPECT_EQ(Bytes(bind->begin() + 8, bind->end()), Bytes(8, 0));

  Bytes proof{'S', 'E', 'A', 'L', 1};
  pair.client->inputUnreliable().send(proof);
  EXPECT_EQ(receiveWithin(pair.host->inputUnreliable().incoming()), proof);
  EXPECT_EQ(pair.host->inputBox()->adoptions(), 1);
  Bytes down{3, 3};
  pair.host->inputUnreliable().send(down);
  EXPECT_EQ(receiveWithin(pair.client->inputUnreliable().incoming()), down);
  pair.client->close();
  EXPECT_FALSE(pair.client->rebindInputFlow()) << "no rebind after close";
  EXPECT_FALSE(pair.host->rebindInputFlow()) << "the host never rebinds";
}

}  // namespace
}  // namespace vela
