#pragma once
// The line side of the stand-alone relay service, as pure logic: which hosts are registered, which
// sessions wait for their host, and what to answer each line. The server feeds it the connections'
// events and carries out the actions it returns, in order.
//
// Every connection hears "CH <challenge>" first. Then, by its first line:
//   H <host id> <public key> <signature>  registration; the signature of the challenge must verify
//                                         (else the connection closes), and the key must be the one
//                                         pinned to the host id (the first key it registered with), else
//                                         "E <reason>" (the connection closes at the first-line limit,
//                                         the host's later lines read, so that nothing cuts the reason
//                                         off); "OK" when registered.
//                                         Later lines: EP <endpoint or ->, RD <1 or 0>.
//   PE <host id> <gate MAC>               probe: "A 1 <endpoint> <nat works> <relayed data ok>", or "A 0";
//                                         then the connection closes.
//   C <host id> <gate MAC>                session: the host hears "NA <token> <client address>" (when
//                                         the address is known), then "N <token>"; the client hears
//                                         "S <token>" once the host has joined, "S -" when refused.
//   J <token>                             the host joins: its connection and the client's are spliced.
// Anything else closes the connection.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/random.hpp"

namespace tavlo::relay {

class RelayRegistry {
 public:
  using ConnectionId = uint64_t;
  using Token = std::array<uint8_t, 16>;

  struct Actions {
    struct Send {
      ConnectionId to;
      std::string line;  // with its line feed
    };
    struct Splice {
      ConnectionId host;  // the host's join connection
      ConnectionId client;
    };
    std::vector<Send> sends;             // first
    std::optional<Splice> splice;        // then: from now on the two connections' bytes are piped
    std::vector<ConnectionId> closes;    // last
    std::vector<std::string> log;
    std::optional<Token> sessionOpened;  // a session waits for its host (the server bounds the wait)
    std::vector<Token> sessionsClosed;   // their datagram routes go
  };

  // Pins that stop a stranger from registering under a known host id with a key of its own: hosts
  // are told apart by nothing else. Past this many, new host ids register without a pin (logged), so
  // that registrations cannot grow the state file without end.
  static constexpr size_t maxPins = 100'000;
  static constexpr const char* pinsKey = "pins";  // in the state: host id -> Base64 public key

  // Pins kept in memory only (tests, fuzzing).
  explicit RelayRegistry(Random& random);
  // Pins kept in `state` (the service's state file), which must outlive the registry.
  RelayRegistry(Random& random, JsonStore& state);

  // Removes the pin of `hostID` from `state`; false when there was none.
  static bool unpin(JsonStore& state, const std::string& hostID);

  // `address`: the peer's IP address, named to the host when the peer asks for a session (hosts tell
  // relayed clients apart by it); empty when unknown.
  Actions opened(ConnectionId id, const std::string& address = {});
  Actions received(ConnectionId id, const std::string& line);
  // The connection is gone (closed by its peer or by the server).
  Actions closed(ConnectionId id);
  // The host did not join the session in time: the waiting client is closed.
  Actions joinExpired(const Token& token);

  // Whether datagrams with this token belong to a session that is still open.
  bool isLiveToken(ByteView token) const;
  // Whether the connection has not yet said what it is (no first line taken).
  // Whether the connection has not said what it is yet (or was refused and waits to be closed).
  bool awaitsFirstLine(ConnectionId id) const;
  size_t registeredHosts() const { return hosts_.size(); }

 private:
  // `refused`: a registration refused for its key, kept (its later lines read and dropped) until the
  // first-line limit closes it, so that the host reads the reason before the connection goes.
  enum class Role : uint8_t { unknown, host, probe, waitingClient, hostJoin, splicedClient, refused };
  struct Connection {
    Role role = Role::unknown;
    Bytes challenge;
    std::string address;     // the peer's IP address, or empty
    std::string hostID;      // registration: the host it registered
    std::optional<Token> token;  // waiting, joined and spliced connections
  };
  struct Host {
    ConnectionId connection;
    Bytes sigPub;
    std::string endpoint = "-";
    bool relayData = true;
  };
  struct Session {
    ConnectionId client;
    std::optional<ConnectionId> hostJoin;
  };

  void registerHost(ConnectionId id, Connection& connection, const std::vector<std::string>& fields, Actions& out);
  void probe(ConnectionId id, const std::vector<std::string>& fields, Actions& out);
  void openSession(ConnectionId id, Connection& connection, const std::vector<std::string>& fields, Actions& out);
  void join(ConnectionId id, Connection& connection, const std::vector<std::string>& fields, Actions& out);
  // The host registered under `hostID` whose key the gate MAC was made with.
  const Host* gatedHost(const std::string& hostID, const std::string& mac) const;

  // The key pinned to `hostID`, pinning `sigPub` when there is none yet; false when another key is.
  bool pinAllows(const std::string& hostID, ByteView sigPub, Actions& out);

  Random& random_;
  std::unique_ptr<JsonStore> ownState_;  // when no state was given
  JsonStore& state_;
  std::map<ConnectionId, Connection> connections_;
  std::map<std::string, Host> hosts_;
  std::map<Token, Session> sessions_;
};

}  // namespace tavlo::relay
