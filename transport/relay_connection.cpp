#include "transport/relay_connection.hpp"

#include "transport/with_ready.hpp"

namespace vela {

std::shared_ptr<tavlo::TcpConnection> RelayConnection::dial(std::shared_ptr<tavlo::NetThread> thread,
                                                            const RelayService& service) {
  return tavlo::TcpConnection::dial(std::move(thread), service.host, service.tcpPort,
                                    tavlo::ServiceClass::interactiveVoice);
}

void RelayConnection::start(const std::shared_ptr<tavlo::TcpConnection>& connection) {
  withReady([&connection](ReadyHandler ready) {
    connection->start([ready](tavlo::TcpConnection::State state, const std::string&) {
      ready(state == tavlo::TcpConnection::State::ready);
    });
  });
}

}  // namespace vela
