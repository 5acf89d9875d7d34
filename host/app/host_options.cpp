#include "host/app/host_options.hpp"

#include <charconv>
#include <string_view>

namespace tavlo {
namespace {

std::optional<uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > maxPreferredPort) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

// ":N" or ":N.S", N and S decimal.
bool isDisplayName(std::string_view text) {
  if (text.size() < 2 || text[0] != ':') return false;
  bool digit = false;
  bool dot = false;
  for (char c : text.substr(1)) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && digit && !dot) {
      dot = true;
      digit = false;
    } else {
      return false;
    }
  }
  return digit;
}

}  // namespace

std::variant<HostOptions, std::string> parseHostOptions(std::span<const char* const> arguments) {
  HostOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string_view arg = arguments[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg != "--port" && arg != "--display") return "unknown option " + std::string(arg);
    if (i + 1 >= arguments.size()) return std::string(arg) + " needs a value";
    std::string_view value = arguments[++i];
    if (arg == "--port") {
      options.port = parsePort(value);
      if (!options.port) return "--port needs a number from 1 to " + std::to_string(maxPreferredPort);
    } else {
      if (!isDisplayName(value)) return "--display needs an X display such as :1";
      options.display = std::string(value);
    }
  }
  return options;
}

std::string hostUsage() {
  return "usage: tavlo-host [--port PORT] [--display :N] [--help]\n"
         "\n"
         "Runs the Tavlo display host in the foreground until SIGTERM or SIGINT.\n"
         "\n"
         "  --port PORT    first port of the block of five the host listens on (default 47700:\n"
         "                 TCP control, UDP video, audio and input, UDP probes); a busy block is\n"
         "                 waited for up to 40 s, then the next free block above it is taken\n"
         "  --display :N   the X server whose virtual displays clients see (default: $DISPLAY)\n"
         "  --help         this text\n"
         "\n"
         "Exit status: 0 after SIGTERM or SIGINT, 2 for a bad command line, 3 when an older\n"
         "host instance already runs, 4 when the host cannot listen.\n";
}

}  // namespace tavlo
