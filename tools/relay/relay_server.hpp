#pragma once
// The stand-alone relay service: the TCP line server and the UDP datagram forwarder, on one network
// thread. Lines are answered by RelayRegistry; once a host joins a session, the host's join connection
// and the client's connection are piped to each other unchanged, both ways. Datagrams are passed on by
// RelayForwarder.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "transport/relay.hpp"

namespace tavlo::relay {

class RelayServer {
 public:
  struct Options {
    std::string bindAddress = "127.0.0.1";  // loopback unless told otherwise; empty: every address
    uint16_t tcpPort = vela::Relay::tcpPort;  // 0: any free port
    uint16_t udpPort = vela::Relay::udpPort;  // 0: any free port
    Scheduler* scheduler = nullptr;          // the wait for a host to join; must outlive the server
    LogSink log;
    uint64_t joinTimeoutUs = 10'000'000;     // a client waits this long for its host to join
    // The service's state (the hosts' pinned keys), a private file (0600 in a 0700 folder); none: in
    // memory, forgotten when the service stops.
    std::optional<std::filesystem::path> stateFile;
    // A connection that has not sent a complete first line this long after it was accepted is closed
    // (the host link and the dialers send theirs right after the challenge). Needs `scheduler`.
    uint64_t firstLineTimeoutUs = 5'000'000;
    // Line connections held at once, in total and from one IP address; more are closed at once. Each
    // costs a descriptor and some memory, so a crowd of idle peers must not take them all.
    size_t maxConnections = 8'192;
    size_t maxConnectionsPerAddress = 64;
  };

  // Binds both ports and starts serving. Throws std::system_error when a port or the address cannot be
  // bound.
  static std::unique_ptr<RelayServer> start(Options options);
  // Stops listening and closes every connection and the datagram socket.
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  uint16_t tcpPort() const;
  uint16_t udpPort() const;
  // Where hosts and clients reach this server.
  vela::RelayService service() const;

  // What the server has seen so far (a snapshot taken on its thread).
  struct Counters {
    uint64_t connections = 0;         // accepted on the line port
    uint64_t refusedConnections = 0;  // closed at once: over a connection cap
    uint64_t silentConnections = 0;   // closed for sending no first line in time
    size_t openConnections = 0;       // now
    size_t registeredHosts = 0;       // now
    uint64_t datagrams = 0;           // received, keepalives included
    uint64_t keepalives = 0;          // bare headers received
    uint64_t datagramsForwarded = 0;
  };
  Counters counters() const;

  struct Core;

 private:
  explicit RelayServer(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  std::shared_ptr<Core> core_;
};

}  // namespace tavlo::relay
