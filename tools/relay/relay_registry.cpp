#include "tools/relay/relay_registry.hpp"

#include <algorithm>

#include "platform/crypto/ed25519.hpp"
#include "platform/crypto/hmac_sha256.hpp"
#include "platform/runtime/base64.hpp"
#include "transport/relay.hpp"
#include "transport/relay_text.hpp"

namespace tavlo::relay {
namespace {

constexpr size_t challengeBytes = 32;

std::string upperHex(ByteView bytes) {
  std::string text = hexString(bytes);
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'a' && c <= 'f' ? c - 32 : c; });
  return text;
}

std::string shortID(const std::string& hostID) { return hostID.substr(0, 8); }

}  // namespace

RelayRegistry::RelayRegistry(Random& random)
    : random_(random), ownState_(std::make_unique<JsonStore>()), state_(*ownState_) {}

RelayRegistry::RelayRegistry(Random& random, JsonStore& state) : random_(random), state_(state) {}

bool RelayRegistry::unpin(JsonStore& state, const std::string& hostID) {
  JsonValue pins = state.getValue(pinsKey).value_or(JsonValue::object());
  if (!pins.is_object() || pins.erase(hostID) == 0) return false;
  state.set(pinsKey, std::move(pins));
  return true;
}

bool RelayRegistry::pinAllows(const std::string& hostID, ByteView sigPub, Actions& out) {
  JsonValue pins = state_.getValue(pinsKey).value_or(JsonValue::object());
  if (!pins.is_object()) pins = JsonValue::object();
  const std::string key = base64Encode(sigPub);
  if (auto pinned = pins.find(hostID); pinned != pins.end()) {
    return pinned->is_string() && pinned->get<std::string>() == key;
  }
  if (pins.size() >= maxPins) {
    out.log.push_back("relay: host " + shortID(hostID) + "… bez przypięcia klucza (" + std::to_string(maxPins) +
                      " przypięć, to granica)");
    return true;
  }
  pins[hostID] = key;
  state_.set(pinsKey, std::move(pins));
  out.log.push_back("relay: klucz hosta " + shortID(hostID) + "… przypięty");
  return true;
}

RelayRegistry::Actions RelayRegistry::opened(ConnectionId id, const std::string& address) {
  Connection& connection = connections_[id];
  connection.address = address;
  connection.challenge = random_.bytes(challengeBytes);
  Actions out;
  out.sends.push_back({id, "CH " + base64Encode(connection.challenge) + "\n"});
  return out;
}

RelayRegistry::Actions RelayRegistry::received(ConnectionId id, const std::string& line) {
  Actions out;
  auto found = connections_.find(id);
  if (found == connections_.end()) return out;
  Connection& connection = found->second;
  std::vector<std::string> fields = vela::splitFields(line);
  const std::string keyword = fields.empty() ? std::string() : fields[0];

  switch (connection.role) {
    case Role::unknown:
      if (keyword == "H") {
        registerHost(id, connection, fields, out);
      } else if (keyword == "PE") {
        probe(id, fields, out);
      } else if (keyword == "C") {
        openSession(id, connection, fields, out);
      } else if (keyword == "J") {
        join(id, connection, fields, out);
      } else {
        out.log.push_back("relay: nieznana linia, zamykam połączenie " + std::to_string(id));
        out.closes.push_back(id);
      }
      return out;
    case Role::host: {
      auto host = hosts_.find(connection.hostID);
      if (host == hosts_.end() || host->second.connection != id) return out;
      if (keyword == "EP" && fields.size() == 2) {
        host->second.endpoint = fields[1];
        out.log.push_back("relay: host " + shortID(connection.hostID) + "… punkt końcowy " + fields[1]);
      } else if (keyword == "RD" && fields.size() == 2) {
        host->second.relayData = fields[1] == "1";
        out.log.push_back("relay: host " + shortID(connection.hostID) + "… sesje przez relay " +
                          (host->second.relayData ? "tak" : "nie"));
      }
      return out;  // a registered host's lines are not answered
    }
    case Role::probe:
    case Role::waitingClient:
    case Role::refused:
      return out;  // nothing more is expected from them
    case Role::hostJoin:
    case Role::splicedClient:
      return out;  // piped by the server, never read as lines
  }
  return out;
}

void RelayRegistry::registerHost(ConnectionId id, Connection& connection, const std::vector<std::string>& fields,
                                 Actions& out) {
  std::optional<Bytes> sigPub = fields.size() == 4 ? base64Decode(fields[2]) : std::nullopt;
  std::optional<Bytes> signature = fields.size() == 4 ? base64Decode(fields[3]) : std::nullopt;
  if (!sigPub || !signature || fields[1].empty() ||
      !crypto::isValidEd25519Signature(*sigPub, connection.challenge, *signature)) {
    out.log.push_back("relay: odrzucona rejestracja (zły podpis wyzwania)");
    out.closes.push_back(id);
    return;
  }
  const std::string& hostID = fields[1];
  if (!pinAllows(hostID, *sigPub, out)) {
    // The registered host keeps its registration: a stranger must not cut it off.
    out.log.push_back("relay: odrzucona rejestracja hosta " + shortID(hostID) +
                      "… — inny klucz niż przypięty (operator zdejmuje pin: tavlo-relay --unpin " + hostID + ")");
    out.sends.push_back({id, "E inny klucz niż przypięty do tego hosta\n"});
    connection.role = Role::refused;
    return;
  }
  auto previous = hosts_.find(hostID);
  if (previous != hosts_.end() && previous->second.connection != id) {
    // The host registered again: its earlier connection is stale.
    out.closes.push_back(previous->second.connection);
    if (auto old = connections_.find(previous->second.connection); old != connections_.end())
      old->second.hostID.clear();
  }
  connection.role = Role::host;
  connection.hostID = hostID;
  hosts_[hostID] = Host{id, std::move(*sigPub)};
  out.sends.push_back({id, "OK\n"});
  out.log.push_back("relay: host " + shortID(hostID) + "… zarejestrowany");
}

const RelayRegistry::Host* RelayRegistry::gatedHost(const std::string& hostID, const std::string& mac) const {
  auto host = hosts_.find(hostID);
  if (host == hosts_.end()) return nullptr;
  std::string expected = vela::Relay::gateMAC(hostID, host->second.sigPub);
  if (expected.empty() || !crypto::constantTimeEqual(toBytes(expected), toBytes(mac))) return nullptr;
  return &host->second;
}

void RelayRegistry::probe(ConnectionId id, const std::vector<std::string>& fields, Actions& out) {
  connections_[id].role = Role::probe;
  const Host* host = fields.size() == 3 ? gatedHost(fields[1], fields[2]) : nullptr;
  // A probe asks once: the connection closes behind the answer, so it holds nothing afterwards.
  if (!host) {
    out.sends.push_back({id, "A 0\n"});
    out.closes.push_back(id);
    return;
  }
  // This relay cannot test the host's router mapping; a published endpoint is taken as working.
  std::string natWorks = host->endpoint != "-" ? "1" : "0";
  out.sends.push_back({id, "A 1 " + host->endpoint + " " + natWorks + " " + (host->relayData ? "1" : "0") + "\n"});
  out.closes.push_back(id);
}

void RelayRegistry::openSession(ConnectionId id, Connection& connection, const std::vector<std::string>& fields,
                                Actions& out) {
  const Host* host = fields.size() == 3 ? gatedHost(fields[1], fields[2]) : nullptr;
  if (!host || !host->relayData) {
    out.log.push_back("relay: sesja odrzucona (host nieznany, zły MAC lub relay wyłączony)");
    out.sends.push_back({id, "S -\n"});
    out.closes.push_back(id);
    return;
  }
  Token token;
  random_.fill(token);
  sessions_[token] = Session{id, std::nullopt};
  connection.role = Role::waitingClient;
  connection.token = token;
  // Hosts that know the line key the client's waiting connection by the address; older ones ignore it.
  if (!connection.address.empty())
    out.sends.push_back({host->connection, "NA " + upperHex(token) + " " + connection.address + "\n"});
  out.sends.push_back({host->connection, "N " + upperHex(token) + "\n"});
  out.sessionOpened = token;
  out.log.push_back("relay: nowa sesja " + hexString(token).substr(0, 8) + "… do hosta " + shortID(fields[1]) + "…");
}

void RelayRegistry::join(ConnectionId id, Connection& connection, const std::vector<std::string>& fields, Actions& out) {
  std::optional<Bytes> bytes = fields.size() == 2 ? vela::parseHexString(fields[1]) : std::nullopt;
  Token token;
  if (!bytes || bytes->size() != token.size()) {
    out.closes.push_back(id);
    return;
  }
  std::copy(bytes->begin(), bytes->end(), token.begin());
  auto session = sessions_.find(token);
  if (session == sessions_.end() || session->second.hostJoin) {
    out.log.push_back("relay: dołączenie do nieznanej sesji");
    out.closes.push_back(id);
    return;
  }
  session->second.hostJoin = id;
  connection.role = Role::hostJoin;
  connection.token = token;
  ConnectionId client = session->second.client;
  connections_[client].role = Role::splicedClient;
  out.sends.push_back({client, "S " + hexString(token) + "\n"});
  out.splice = Actions::Splice{id, client};
}

RelayRegistry::Actions RelayRegistry::closed(ConnectionId id) {
  Actions out;
  auto found = connections_.find(id);
  if (found == connections_.end()) return out;
  Connection connection = std::move(found->second);
  connections_.erase(found);
  if (connection.role == Role::host) {
    auto host = hosts_.find(connection.hostID);
    if (host != hosts_.end() && host->second.connection == id) {
      hosts_.erase(host);
      out.log.push_back("relay: host " + shortID(connection.hostID) + "… rozłączony");
    }
  }
  if (connection.token) {
    // Either end of a session closes the whole session.
    auto session = sessions_.find(*connection.token);
    if (session != sessions_.end()) {
      if (session->second.client != id) out.closes.push_back(session->second.client);
      if (session->second.hostJoin && *session->second.hostJoin != id) out.closes.push_back(*session->second.hostJoin);
      sessions_.erase(session);
      out.sessionsClosed.push_back(*connection.token);
    }
  }
  return out;
}

RelayRegistry::Actions RelayRegistry::joinExpired(const Token& token) {
  Actions out;
  auto session = sessions_.find(token);
  if (session == sessions_.end() || session->second.hostJoin) return out;
  out.log.push_back("relay: host nie dołączył do sesji " + hexString(token).substr(0, 8) + "…");
  out.sends.push_back({session->second.client, "S -\n"});
  out.closes.push_back(session->second.client);
  return out;
}

bool RelayRegistry::awaitsFirstLine(ConnectionId id) const {
  auto found = connections_.find(id);
  return found != connections_.end() && (found->second.role == Role::unknown || found->second.role == Role::refused);
}

bool RelayRegistry::isLiveToken(ByteView token) const {
  if (token.size() != Token{}.size()) return false;
  Token key;
  std::copy(token.begin(), token.end(), key.begin());
  return sessions_.contains(key);
}

}  // namespace tavlo::relay
