// tavlo-relay: a relay service of our own, for trying the relay path without the internet.
//
//   tavlo-relay [--bind ADDRESS] [--tcp-port PORT] [--udp-port PORT] [--state FILE]
//   tavlo-relay [--state FILE] --unpin HOST_ID
//
// Listens on loopback (127.0.0.1) by default, on the line port 47800 and the datagram port 47801;
// --bind 0.0.0.0 (or ::) serves other machines too. Runs until SIGINT or SIGTERM.
//
// The first key a host id registers with is pinned in the state file (by default
// $XDG_DATA_HOME/tavlo/relay-state.json; its folder is made private), and a registration with another
// key is refused. --unpin removes a host id's pin (a host that really changed its key) and exits; run it
// while the service is stopped, since a running service keeps its pins in memory and writes them back.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/descriptor_limit.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/private_files.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "tools/relay/relay_registry.hpp"
#include "tools/relay/relay_server.hpp"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tavlo-relay [--bind ADDRESS] [--tcp-port PORT] [--udp-port PORT] [--state FILE]\n"
               "       tavlo-relay [--state FILE] --unpin HOST_ID\n");
  return 2;
}

// Removes a pin from the state file; the service must not be running on the same file.
int unpin(const std::optional<std::filesystem::path>& stateFile, const std::string& hostID) {
  if (!stateFile) {
    std::fprintf(stderr, "tavlo-relay: no state file (no --state, and the user has no data folder)\n");
    return 1;
  }
  tavlo::JsonStore state(*stateFile, [](const std::string& line) { std::fprintf(stderr, "tavlo-relay: %s\n", line.c_str()); });
  if (!tavlo::relay::RelayRegistry::unpin(state, hostID)) {
    std::printf("tavlo-relay: no pin for %s in %s\n", hostID.c_str(), stateFile->c_str());
    return 1;
  }
  std::printf("tavlo-relay: unpinned %s in %s\n", hostID.c_str(), stateFile->c_str());
  return 0;
}

bool parsePort(const char* text, uint16_t& port) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tavlo::relay::RelayServer::Options options;
  if (auto data = tavlo::dataDirectory()) options.stateFile = *data / "relay-state.json";
  std::optional<std::string> unpinHost;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (arg == "--bind") {
      options.bindAddress = value;
    } else if (arg == "--tcp-port") {
      if (!parsePort(value, options.tcpPort)) return usage();
    } else if (arg == "--udp-port") {
      if (!parsePort(value, options.udpPort)) return usage();
    } else if (arg == "--state") {
      // Absolute: the state's folder is made private, and an empty folder name cannot be.
      options.stateFile = std::filesystem::absolute(value);
    } else if (arg == "--unpin") {
      unpinHost = value;
    } else {
      return usage();
    }
  }

  if (unpinHost) return unpin(options.stateFile, *unpinHost);

  // Every connection costs a descriptor: serve as many as the system allows, not the default 1,024.
  tavlo::DescriptorLimit limit = tavlo::raiseDescriptorLimit();
  std::fprintf(stderr, "tavlo-relay: up to %llu descriptors\n", static_cast<unsigned long long>(limit.soft));
  if (!options.stateFile) std::fprintf(stderr, "tavlo-relay: no data folder: pinned host keys are kept in memory only\n");

  // Block the stop signals in every thread; the main thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  tavlo::ThreadScheduler scheduler;
  options.scheduler = &scheduler;
  options.log = tavlo::SystemLog::sink();
  std::unique_ptr<tavlo::relay::RelayServer> server;
  try {
    server = tavlo::relay::RelayServer::start(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tavlo-relay: %s\n", error.what());
    return 1;
  }
  // The ports as bound (a port of 0 asks for a free one); scripts read this line.
  std::printf("tavlo-relay %s tcp %u udp %u\n", options.bindAddress.c_str(), server->tcpPort(), server->udpPort());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  server.reset();
  return 0;
}
