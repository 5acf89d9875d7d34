#include "transport/relay_line.hpp"

#include <future>

#include "transport/transport_error.hpp"

namespace vela {

void RelayLine::write(const std::string& line) {
  auto taken = std::make_shared<std::promise<void>>();
  auto done = taken->get_future();
  connection_->send(tavlo::toBytes(line), [taken] { taken->set_value(); });
  done.wait();
}

std::string RelayLine::readLine() {
  for (;;) {
    if (auto line = buffer_.nextLine()) return *line;
    if (buffer_.overflowed()) {
      connection_->cancel();
      throw TransportError::badEndpoint(TransportError::Cause::lineTooLong);
    }
    struct Piece {
      tavlo::Bytes bytes;
      bool ended = false;
      std::string error;
    };
    auto arrived = std::make_shared<std::promise<Piece>>();
    auto next = arrived->get_future();
    connection_->receive([arrived](tavlo::ByteView data, bool peerClosed, const std::string& error) {
      arrived->set_value(Piece{tavlo::Bytes(data.begin(), data.end()), peerClosed, error});
    });
    Piece piece = next.get();
    if (!piece.error.empty()) throw RelayConnectionError(piece.error);
    if (piece.ended || piece.bytes.empty()) throw TransportError::lineEnded();
    buffer_.append(piece.bytes);
  }
}

}  // namespace vela
