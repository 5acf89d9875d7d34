#pragma once
// Text lines on a relay TCP connection, one blocking read or write at a time. The line does not own
// the connection: its owner starts it, and cancels it after any failure.
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/net/tcp_connection.hpp"
#include "transport/relay_line_buffer.hpp"

namespace vela {

// The connection broke while reading; what() is the platform's description of the error.
class RelayConnectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RelayLine {
 public:
  explicit RelayLine(std::shared_ptr<tavlo::TcpConnection> connection) : connection_(std::move(connection)) {}

  // Sends the UTF-8 bytes of `line` unchanged (the caller ends it with "\n") and waits until the
  // connection took them or ended. A connection that ended shows at the next read.
  void write(const std::string& line);

  // The next line without its line feed, decoded and trimmed as RelayLineBuffer does it. Throws
  // TransportError::badEndpoint when the peer closed the connection (bytes of an unterminated line are
  // never returned) or sent a line longer than RelayLineBuffer::maxLineBytes, in which case the
  // connection is cancelled here; throws RelayConnectionError when the connection broke. One reader at
  // a time; a write may run meanwhile.
  std::string readLine();

  // The bytes received behind the last line read: the start of what the connection carries next.
  tavlo::Bytes takePending() { return buffer_.takeRemaining(); }

  const std::shared_ptr<tavlo::TcpConnection>& connection() const { return connection_; }

 private:
  const std::shared_ptr<tavlo::TcpConnection> connection_;
  RelayLineBuffer buffer_;  // the reader's only
};

}  // namespace vela
