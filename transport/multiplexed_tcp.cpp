#include "transport/multiplexed_tcp.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace vela {

using tavlo::TcpConnection;

MultiplexedTCP::MultiplexedTCP(std::shared_ptr<TcpConnection> connection) : connection_(std::move(connection)) {}

MultiplexedTCP::~MultiplexedTCP() { connection_->cancel(); }

void MultiplexedTCP::start(ReadyHandler readyHandler) {
  std::weak_ptr<MultiplexedTCP> weak = weak_from_this();
  connection_->start([weak, readyHandler = std::move(readyHandler)](TcpConnection::State state, const std::string&) {
    auto self = weak.lock();
    if (!self) return;
    if (state == TcpConnection::State::ready) {
      self->receiveNext();
      if (readyHandler) readyHandler(true);
    } else {
      self->finishStreams();
      if (readyHandler) readyHandler(false);
    }
  });
}

void MultiplexedTCP::startAlreadyReady(ByteView pending) {
  if (!pending.empty() && !take(pending)) return;
  receiveNext();
}

void MultiplexedTCP::receiveNext() {
  std::weak_ptr<MultiplexedTCP> weak = weak_from_this();
  connection_->receive([weak](ByteView data, bool peerClosed, const std::string& error) {
    auto self = weak.lock();
    if (!self) return;
    if (!data.empty() && !self->take(data)) return;
    if (!peerClosed && error.empty()) {
      self->receiveNext();
      return;
    }
    // The peer closed its side or the connection broke: the streams end, a partial frame with them.
    self->finishStreams();
  });
}

bool MultiplexedTCP::take(ByteView piece) {
  std::vector<MuxFrameReader::Frame> frames;
  bool intact;
  {
    std::lock_guard guard(mutex_);
    intact = reader_.append(piece, frames);
  }
  // Only the connection's thread delivers, so frames keep the stream's order across the two streams.
  for (auto& frame : frames) {
    auto& stream = frame.route == MuxFrameReader::Route::inputReliable ? input_ : control_;
    stream.send(std::move(frame.payload));
  }
  if (!intact) {
    connection_->cancel();
    finishStreams();
  }
  return intact;
}

void MultiplexedTCP::send(ByteView payload) {
  if (payload.size() > MuxFrameReader::maxFrameLength) return;
  auto length = static_cast<uint32_t>(payload.size());
  Bytes frame(MuxFrameReader::headerBytes + payload.size());
  for (size_t i = 0; i < MuxFrameReader::headerBytes; ++i) frame[i] = static_cast<uint8_t>(length >> (8 * i));
  if (!payload.empty()) std::memcpy(frame.data() + MuxFrameReader::headerBytes, payload.data(), payload.size());
  auto framed = static_cast<int64_t>(frame.size());
  {
    std::lock_guard guard(mutex_);
    outstanding_ += framed;
  }
  std::weak_ptr<MultiplexedTCP> weak = weak_from_this();
  connection_->send(std::move(frame), [weak, framed] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard guard(self->mutex_);
    self->outstanding_ = std::max<int64_t>(0, self->outstanding_ - framed);
  });
}

int64_t MultiplexedTCP::outstanding() const {
  std::lock_guard guard(mutex_);
  return outstanding_;
}

void MultiplexedTCP::close() {
  connection_->cancel();
  finishStreams();
}

void MultiplexedTCP::finishStreams() {
  control_.close();
  input_.close();
}

}  // namespace vela
