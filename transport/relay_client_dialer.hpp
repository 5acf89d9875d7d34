#pragma once
// The client's side of the relay path: with a host's identifier and public signing key it asks the
// relay service whether that host is registered and what it offers (probe), and opens a relayed
// session to it (connect). The client application runs it; the host never does, but it fixes the
// client's lines "PE" and "C" and the answers "A" and "S" that the host's service must give.
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/scheduler.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/relay.hpp"

namespace vela {

struct RelayProbeResult {
  bool alive = false;                   // the service answered "A 1"
  std::optional<std::string> endpoint;  // the host's published endpoint
  bool natWorks = false;
  bool relayDataOK = true;

  friend bool operator==(const RelayProbeResult&, const RelayProbeResult&) = default;
};

class RelayClientDialer {
 public:
  struct Params {
    RelayService service = {};
    tavlo::Scheduler* scheduler = nullptr;  // the probe's time limit; keepalives; must outlive the flows
  };

  // Throws std::invalid_argument without a scheduler.
  explicit RelayClientDialer(Params params);

  // Never throws: every failure (unreachable service, unexpected answer, closed connection, time
  // limit) gives alive false, no endpoint, natWorks false, relayDataOK true.
  RelayProbeResult probe(const std::string& hostID, ByteView sigPub, int timeoutMs) const;

  // A relayed session to the host ("relay/" and the identifier's first 8 characters). Blocks, without
  // a time limit of its own. Throws TransportError::notReady when the connection fails before it is
  // ready, TransportError::badEndpoint for an unexpected answer or a flow that cannot be opened, and
  // the line reader's errors.
  std::shared_ptr<SessionTransport> connect(const std::string& hostID, ByteView sigPub) const;

  // The probe's answer line: nullopt unless it begins with "A 1".
  static std::optional<RelayProbeResult> parseProbeAnswer(const std::string& line);

 private:
  Params params_;
};

}  // namespace vela
