#include "transport/multiplexed_tcp.hpp"

#include <gtest/gtest.h>

#include "platform/net/tcp_listen_socket.hpp"
#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using testkit::receiveWithin;
using tavlo::NetThread;
using tavlo::ServiceClass;
using tavlo::TcpConnection;
using tavlo::TcpListenSocket;

Bytes packet(size_t size, uint8_t channel, uint8_t tag) {
  Bytes out(size, tag);
  out[5] = channel;
  return out;
}

// A listening port whose accepted connections are wrapped and started as multiplexers, and clients of it.
struct MuxServer {
  MuxServer() : thread(NetThread::start("test.server")), listener(TcpListenSocket::open(thread, 0, ServiceClass::bestEffort)) {
    listener->start([this](std::shared_ptr<TcpConnection> connection) {
      auto mux = std::make_shared<MultiplexedTCP>(std::move(connection));
      mux->start([](bool) {});
      accepted.send(mux);
    });
  }
  std::shared_ptr<MultiplexedTCP> next() { return receiveWithin(accepted).value_or(nullptr); }
  // A client multiplexer dialing this server, not started.
  std::shared_ptr<MultiplexedTCP> client() {
    return std::make_shared<MultiplexedTCP>(TcpConnection::dial(clientThread, "127.0.0.1", listener->port(), ServiceClass::bestEffort));
  }

  tavlo::Channel<std::shared_ptr<MultiplexedTCP>> accepted;  // outlives the listener that fills it
  std::shared_ptr<NetThread> thread;
  std::unique_ptr<TcpListenSocket> listener;
  std::shared_ptr<NetThread> clientThread = NetThread::start("test.client");
};

TEST(MultiplexedTCP, OutstandingCountsFramedBytesUntilTheConnectionTakesThem) {
  MuxServer server;
  auto client = server.client();
  client->send(packet(20, 0, 1));
  client->send(packet(100, 3, 2));
  EXPECT_EQ(client->outstanding(), 128) << "4 + 20 and 4 + 100, queued before the connection is up";
  withReady([&](ReadyHandler handler) { client->start(std::move(handler)); });
  auto host = server.next();
  ASSERT_TRUE(host);
  ASSERT_TRUE(receiveWithin(host->controlStream()));
  ASSERT_TRUE(receiveWithin(host->inputStream()));
  // The peer has read both frames, so the writes are done; their completions run on the client's
  // thread shortly after.
  for (int i = 0; i < 1000 && client->outstanding() != 0; ++i) server.clientThread->sync([] {});
  EXPECT_EQ(client->outstanding(), 0);
}

TEST(MultiplexedTCP, ReadyHandlerHearsTrueOnReadyAndFalseWhenCancelled) {
  MuxServer server;
  auto calls = std::make_shared<tavlo::Channel<bool>>();  // the connection's thread may still be signalling it
  auto client = server.client();
  client->start([calls](bool ready) { calls->send(ready); });
  EXPECT_EQ(receiveWithin(*calls), true);
  client->close();
  EXPECT_EQ(receiveWithin(*calls), false);
  EXPECT_EQ(client->controlStream().receive(), std::nullopt) << "both streams finish";
  EXPECT_EQ(client->inputStream().receive(), std::nullopt);
}

TEST(MultiplexedTCP, StreamEndsDiscardAPartialFrame) {
  struct Row {
    const char* why;
    Bytes tail;
    bool hostCloses;
  };
  uint32_t tooLong = MuxFrameReader::maxFrameLength + 1;
  const Row rows[] = {
      {"the peer closes halfway through a frame", Bytes{50, 0, 0, 0, 1, 2, 3}, false},
      {"the peer announces a frame above 16 MiB: the host closes the connection",
       Bytes{static_cast<uint8_t>(tooLong), static_cast<uint8_t>(tooLong >> 8), static_cast<uint8_t>(tooLong >> 16),
             static_cast<uint8_t>(tooLong >> 24)},
       true},
  };
  for (const auto& row : rows) {
    MuxServer server;
    testkit::RawTcp peer("127.0.0.1", "127.0.0.1", server.listener->port());
    ASSERT_TRUE(peer.connected());
    auto host = server.next();
    ASSERT_TRUE(host);
    peer.writeFrame(packet(10, 0, 7));
    peer.write(row.tail);
    if (row.hostCloses) {
      EXPECT_TRUE(peer.closedByPeer()) << row.why;
    } else {
      peer.close();
    }
    EXPECT_EQ(receiveWithin(host->controlStream()), packet(10, 0, 7)) << row.why << ": the whole frame before it arrives";
    EXPECT_EQ(receiveWithin(host->controlStream()), std::nullopt) << row.why;
    EXPECT_TRUE(host->controlStream().isFinished()) << row.why;
    EXPECT_EQ(receiveWithin(host->inputStream()), std::nullopt) << row.why;
  }
}

TEST(MultiplexedTCP, APayloadAboveTheLimitIsNotSent) {
  MuxServer server;
  auto client = server.client();
  withReady([&](ReadyHandler handler) { client->start(std::move(handler)); });
  auto host = server.next();
  ASSERT_TRUE(host);
  client->send(Bytes(MuxFrameReader::maxFrameLength + 1, 0));
  client->send(packet(6, 0, 1));
  EXPECT_EQ(receiveWithin(host->controlStream()), packet(6, 0, 1)) << "the connection survives and goes on";
}

}  // namespace
}  // namespace vela
