// tavlo-host: the display host, in the foreground until SIGTERM or SIGINT. See --help.
#include <cstdio>
#include <span>
#include <variant>

#include "host/app/host_options.hpp"
#include "host/app/host_program.hpp"

int main(int argc, char** argv) {
  auto parsed = tavlo::parseHostOptions(std::span<const char* const>(argv + 1, argc > 0 ? size_t(argc - 1) : 0));
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "tavlo-host: %s\n\n%s", error->c_str(), tavlo::hostUsage().c_str());
    return tavlo::HostExitCode::usage;
  }
  const auto& options = std::get<tavlo::HostOptions>(parsed);
  if (options.help) {
    std::fputs(tavlo::hostUsage().c_str(), stdout);
    return tavlo::HostExitCode::ok;
  }
  if (options.autostart != tavlo::HostOptions::AutostartAction::none) {
    return tavlo::runAutostartAction(options.autostart);
  }
  return tavlo::runHostProgram(options);
}
