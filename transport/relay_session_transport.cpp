#include "transport/relay_session_transport.hpp"

namespace vela {

RelaySessionTransport::RelaySessionTransport(std::shared_ptr<MultiplexedTCP> mux,
                                             std::array<std::shared_ptr<RelayDatagramFlow>, 3> flows,
                                             std::string remoteDescription)
    : mux_(std::move(mux)),
      flows_(std::move(flows)),
      remoteDescription_(std::move(remoteDescription)),
      control_(mux_, mux_->controlStream()),
      inputReliable_(mux_, mux_->inputStream()) {}

RelaySessionTransport::~RelaySessionTransport() { close(); }

void RelaySessionTransport::close() {
  mux_->close();
  for (const auto& flow : flows_) flow->close();
}

}  // namespace vela
