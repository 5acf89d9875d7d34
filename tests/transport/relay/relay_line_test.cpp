#include "transport/relay_line.hpp"

#include <gtest/gtest.h>

#include "tests/transport/relay/relay_test_kit.hpp"
#include "transport/relay_connection.hpp"
#include "transport/transport_error.hpp"

namespace vela {
namespace {

using namespace relaytest;

// A line reader on a connection to a scripted service.
struct LineFixture {
  ScriptedRelay relay;
  std::shared_ptr<tavlo::TcpConnection> connection =
      RelayConnection::dial(tavlo::NetThread::start("relay.line.test"), relay.service());
  std::unique_ptr<ScriptedPeer> peer;
  RelayLine line{connection};

  LineFixture() {
    RelayConnection::start(connection);
    peer = relay.accept();
  }
};

TEST(RelayLine, ReadsLinesThatArriveInPiecesAndHandsOnTheBytesBehindTheLast) {
  LineFixture f;
  ASSERT_TRUE(f.peer);
  f.peer->write("CH YWJj");
  f.peer->write("ZA==\nN 0001");
  EXPECT_EQ(f.line.readLine(), "CH YWJjZA==");
  f.peer->write(std::string("02\nS 00\n\x05\0\0\0abcde", 17));
  EXPECT_EQ(f.line.readLine(), "N 000102");
  EXPECT_EQ(f.line.readLine(), "S 00");
  EXPECT_EQ(f.line.takePending(), Bytes({5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}));
  EXPECT_TRUE(f.line.takePending().empty());
  f.line.write("H a b c\n");
  EXPECT_EQ(f.peer->readLine(), "H a b c");
}

TEST(RelayLine, EndsWithBadEndpointWhenThePeerClosesInsideALine) {
  LineFixture f;
  ASSERT_TRUE(f.peer);
  f.peer->write("CH YWJj");
  f.peer->close();
  try {
    f.line.readLine();
    FAIL() << "a line was returned";
  } catch (const TransportError& error) {
    EXPECT_EQ(error, TransportError::badEndpoint());
  } catch (const RelayConnectionError&) {
    // A reset instead of an orderly close is the connection's own error; also an end.
  }
}

TEST(RelayLine, ClosesTheConnectionOnALineLongerThanTheCap) {
  LineFixture f;
  ASSERT_TRUE(f.peer);
  f.peer->write(std::string(RelayLineBuffer::maxLineBytes + 1, 'x'));
  EXPECT_THROW(f.line.readLine(), TransportError);
  EXPECT_TRUE(f.peer->closedByPeer());
}

}  // namespace
}  // namespace vela
