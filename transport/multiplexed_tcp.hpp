#pragma once
// One TCP connection carrying both reliable channels of a session, control (0) and reliable input (3),
// as length-prefixed frames. Received frames are split into two ordered streams by their channel
// byte; sends from both channels go out on the one connection in call order. Used over the direct
// path's TCP connection and over the relay's TCP connection after its join line.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/net/tcp_connection.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/mux_frame_reader.hpp"
#include "transport/with_ready.hpp"

namespace vela {

class MultiplexedTCP : public std::enable_shared_from_this<MultiplexedTCP> {
 public:
  // Does not start the connection.
  explicit MultiplexedTCP(std::shared_ptr<tavlo::TcpConnection> connection);
  // Cancels the connection: a multiplexer that goes away takes its socket with it.
  ~MultiplexedTCP();
  MultiplexedTCP(const MultiplexedTCP&) = delete;
  MultiplexedTCP& operator=(const MultiplexedTCP&) = delete;

  // Starts the connection. `readyHandler` hears true once it is ready (and receiving), false when it
  // fails or is cancelled, before or after ready; both streams finish then.
  void start(ReadyHandler readyHandler);
  // For a connection its owner already started and read from (the relay's join line): the bytes read
  // past the owner's own data are taken as the start of the frame stream, then receiving begins.
  void startAlreadyReady(ByteView pending);

  // Frames and sends one payload; from any thread. A payload above MuxFrameReader::maxFrameLength
  // would make the peer drop the connection, so it is not sent.
  void send(ByteView payload);
  // Framed bytes (4 + length per frame) handed to the connection that it has not yet taken.
  int64_t outstanding() const;

  PacketStream& controlStream() { return control_; }
  PacketStream& inputStream() { return input_; }

  // How an owner closes the multiplexer: cancels the connection and finishes both streams.
  void close();

  const std::shared_ptr<tavlo::TcpConnection>& connection() const { return connection_; }

 private:
  void receiveNext();
  // Cuts and delivers the frames of one piece; false when the stream broke the frame limit.
  bool take(ByteView piece);
  void finishStreams();

  const std::shared_ptr<tavlo::TcpConnection> connection_;
  PacketStream control_;
  PacketStream input_;
  mutable std::mutex mutex_;  // reader_, outstanding_
  MuxFrameReader reader_;
  int64_t outstanding_ = 0;
};

}  // namespace vela
