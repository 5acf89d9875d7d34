#include "tests/transport/relay/relay_test_kit.hpp"

#include <algorithm>

namespace vela::relaytest {

Bytes packet(uint8_t channel, const std::string& text, uint8_t messageType) {
  Bytes bytes(16 + text.size(), 0);
  const uint8_t head[] = {'T', 'L', 'K', '2', 1, channel, messageType};
  std::copy(std::begin(head), std::end(head), bytes.begin());
  std::copy(text.begin(), text.end(), bytes.begin() + 16);
  return bytes;
}

RelayHostLink::Sign TestIdentity::signer() const {
  auto signingKey = key;
  return [signingKey](ByteView challenge) -> std::optional<Bytes> {
    auto signature = signingKey.sign(challenge);
    if (!signature) return std::nullopt;
    return Bytes(signature->begin(), signature->end());
  };
}

namespace {

std::unique_ptr<tavlo::relay::RelayServer> startRelay(std::optional<tavlo::ThreadScheduler>& scheduler, LogRecorder& log) {
  tavlo::relay::RelayServer::Options options;
  options.tcpPort = 0;
  options.udpPort = 0;
  options.scheduler = &scheduler.emplace();
  options.log = log.sink();
  return tavlo::relay::RelayServer::start(options);
}

}  // namespace

RelayWorld::RelayWorld(std::optional<RelayService> external)
    : server(external ? nullptr : startRelay(relayScheduler, relayLog)),
      service(external ? *external : server->service()),
      link(RelayHostLink::create(linkParams())) {}

RelayWorld::~RelayWorld() {
  link.reset();
  server.reset();
}

RelayHostLink::Params RelayWorld::linkParams() {
  RelayHostLink::Params params;
  params.hostID = identity.hostID;
  params.sigPub = identity.sigPub();
  params.sign = identity.signer();
  params.emit = [emitted = emitted](std::shared_ptr<SessionTransport> transport) { emitted->send(std::move(transport)); };
  params.log = hostLog.sink();
  params.scheduler = &scheduler;
  params.service = service;
  return params;
}

bool RelayWorld::startHost() {
  link->start();
  if (server && !relayLog.waitFor("zarejestrowany")) return false;
  return hostLog.waitFor("zarejestrowany jako").has_value();
}

RelayWorld::Pair RelayWorld::connectPair() {
  Pair pair;
  pair.client = dialer.connect(identity.hostID, identity.sigPub());
  if (auto host = receiveWithin(*emitted)) pair.host = *host;
  return pair;
}

bool RelayWorld::flowsBound() {
  static constexpr size_t flowsPerSession = 6;
  size_t sessions = relayLog.count("nowa sesja");
  return relayLog.waitFor("relay: przepływ", flowsPerSession * sessions).has_value();
}

}  // namespace vela::relaytest
