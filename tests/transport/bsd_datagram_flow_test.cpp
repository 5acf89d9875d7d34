#include "transport/bsd_datagram_flow.hpp"

#include <gtest/gtest.h>

#include "tests/transport/loopback_host.hpp"
#include "tests/transport/raw_sockets.hpp"

namespace vela {
namespace {

using testkit::LogRecorder;
using testkit::RawUdp;
using testkit::receiveWithin;

TEST(BSDDatagramFlow, AHostThatDoesNotResolveBuildsNoFlow) {
  LogRecorder log;
  auto flow = BSDDatagramFlow::create("host.invalid", 47701, 4 << 20, tavlo::NetThread::start("test.video"), log.sink());
  EXPECT_EQ(flow, nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"🪣 BSD video rx: getaddrinfo(host.invalid:47701) nieudane → fallback NWConnection"});
}

TEST(BSDDatagramFlow, ReportsRequestedAndGrantedBufferAndCarriesDatagramsUntilClosed) {
  struct Row {
    int64_t requested;
    int64_t reportedKB;
    const char* why;
  };
  const Row rows[] = {
      {4'194'304, 4096, "the default request, 4096 KiB"},
      {int64_t{1} << 40, 2'097'151, "a request beyond the 32-bit option is clamped, not wrapped"},
  };
  for (const auto& row : rows) {
    RawUdp host;
    LogRecorder log;
    auto flow = BSDDatagramFlow::create("127.0.0.1", host.port(), row.requested, tavlo::NetThread::start("test.video"), log.sink());
    ASSERT_TRUE(flow) << row.why;
    ASSERT_FALSE(log.lines().empty()) << row.why;
    std::string expected = "🪣 BSD video rx AKTYWNE: SO_RCVBUF żądane=" + std::to_string(row.reportedKB) + "KB efekt=" +
                           std::to_string(flow->grantedReceiveBufferBytes() / 1024) + "KB fd=" + std::to_string(flow->fd());
    EXPECT_EQ(log.lines().front(), expected) << row.why;
    EXPECT_GT(flow->grantedReceiveBufferBytes(), 0) << row.why;

    Bytes bind(16, 0);
    flow->send(bind);
    auto fromClient = host.receive();
    ASSERT_TRUE(fromClient);
    EXPECT_EQ(*fromClient, bind);
    auto local = tavlo::localAddressOf(flow->fd());
    host.sendTo("127.0.0.1", local.port(), Bytes{});
    host.sendTo("127.0.0.1", local.port(), Bytes{1, 2});
    EXPECT_EQ(receiveWithin(flow->incoming()), (Bytes{1, 2})) << "an empty datagram is skipped";
    flow->close();
    EXPECT_EQ(receiveWithin(flow->incoming()), std::nullopt);
    EXPECT_TRUE(flow->incoming().isFinished());
    flow->close();
    flow->send(bind);  // after close: dropped, and no harm
  }
}

}  // namespace
}  // namespace vela
