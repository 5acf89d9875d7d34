#include "transport/relay_client_dialer.hpp"

#include <array>
#include <stdexcept>
#include <vector>

#include "transport/multiplexed_tcp.hpp"
#include "transport/relay_connection.hpp"
#include "transport/relay_datagram_flow.hpp"
#include "transport/relay_line.hpp"
#include "transport/relay_session_transport.hpp"
#include "transport/relay_text.hpp"
#include "transport/transport_error.hpp"
#include "transport/with_timeout.hpp"

namespace vela {

RelayClientDialer::RelayClientDialer(Params params) : params_(std::move(params)) {
  if (!params_.scheduler) throw std::invalid_argument("RelayClientDialer needs a scheduler");
}

std::optional<RelayProbeResult> RelayClientDialer::parseProbeAnswer(const std::string& line) {
  if (!line.starts_with("A 1")) return std::nullopt;
  std::vector<std::string> fields = splitFields(line);
  RelayProbeResult result;
  result.alive = true;
  if (fields.size() < 3) return result;
  if (fields[2] != "-") result.endpoint = fields[2];
  result.natWorks = fields.size() > 3 && fields[3] == "1";
  result.relayDataOK = fields.size() > 4 ? fields[4] == "1" : true;
  return result;
}

RelayProbeResult RelayClientDialer::probe(const std::string& hostID, ByteView sigPub, int timeoutMs) const {
  auto thread = tavlo::NetThread::start("vela.relay.probe");
  auto connection = RelayConnection::dial(thread, params_.service);
  std::string request = "PE " + hostID + " " + Relay::gateMAC(hostID, sigPub) + "\n";
  std::optional<RelayProbeResult> result;
  try {
    result = withTimeout<std::optional<RelayProbeResult>>(*params_.scheduler, timeoutMs, [connection, request] {
      RelayConnection::start(connection);
      RelayLine line(connection);
      (void)line.readLine();  // the service's opening line means nothing here
      line.write(request);
      return parseProbeAnswer(line.readLine());
    });
  } catch (const std::exception&) {
    result.reset();
  }
  connection->cancel();
  return result.value_or(RelayProbeResult{});
}

std::shared_ptr<SessionTransport> RelayClientDialer::connect(const std::string& hostID, ByteView sigPub) const {
  auto thread = tavlo::NetThread::start("vela.relay.client");
  auto videoThread = tavlo::NetThread::start("vela.relay.client.video");
  auto connection = RelayConnection::dial(thread, params_.service);
  RelayLine line(connection);
  Bytes token;
  try {
    RelayConnection::start(connection);
    (void)line.readLine();
    line.write("C " + hostID + " " + Relay::gateMAC(hostID, sigPub) + "\n");
    std::string answer = line.readLine();
    std::optional<Bytes> parsed = answer.starts_with("S ") ? parseHexString(answer.substr(2)) : std::nullopt;
    if (!parsed || parsed->size() != Relay::tokenBytes) throw TransportError::badEndpoint();
    token = std::move(*parsed);
  } catch (...) {
    connection->cancel();
    throw;
  }
  auto mux = std::make_shared<MultiplexedTCP>(connection);
  // The host's first frames may have arrived with the "S" line.
  tavlo::Bytes pending = line.takePending();
  mux->startAlreadyReady(pending);

  auto flows = RelayDatagramFlow::openSession(token, Relay::Side::client,
                                             {params_.service, videoThread, thread, params_.scheduler});
  if (!flows) {
    mux->close();
    throw TransportError::badEndpoint();
  }
  for (auto& flow : *flows) flow->start();
  return std::make_shared<RelaySessionTransport>(mux, *flows, "relay/" + hostID.substr(0, 8));
}

}  // namespace vela
