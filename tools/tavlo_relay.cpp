// tavlo-relay: a relay service of our own, for trying the relay path without the internet.
//
//   tavlo-relay [--bind ADDRESS] [--tcp-port PORT] [--udp-port PORT]
//
// Listens on loopback (127.0.0.1) by default, on the line port 47800 and the datagram port 47801;
// --bind 0.0.0.0 (or ::) serves other machines too. Runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "tools/relay/relay_server.hpp"

namespace {

int usage() {
  std::fprintf(stderr, "usage: tavlo-relay [--bind ADDRESS] [--tcp-port PORT] [--udp-port PORT]\n");
  return 2;
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
    } else {
      return usage();
    }
  }

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
