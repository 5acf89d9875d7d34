#include "host/app/host_options.hpp"

#include <charconv>
#include <string_view>

#include "host/app/relay_wiring.hpp"

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
    if (arg == "--no-ui") {
      options.noUi = true;
      continue;
    }
    if (arg == "--install-autostart" || arg == "--remove-autostart") {
      auto action = arg == "--remove-autostart" ? HostOptions::AutostartAction::remove
                                                : HostOptions::AutostartAction::install;
      if (options.autostart != HostOptions::AutostartAction::none) return "give one autostart option at most";
      options.autostart = action;
      // "--install-autostart keep" asks for the unit that restarts the host after every exit.
      if (action == HostOptions::AutostartAction::install && i + 1 < arguments.size() &&
          std::string_view(arguments[i + 1]) == "keep") {
        options.autostart = HostOptions::AutostartAction::installKeepRunning;
        ++i;
      }
      continue;
    }
    if (arg != "--port" && arg != "--display" && arg != "--relay") return "unknown option " + std::string(arg);
    if (i + 1 >= arguments.size()) return std::string(arg) + " needs a value";
    std::string_view value = arguments[++i];
    if (arg == "--port") {
      options.port = parsePort(value);
      if (!options.port) return "--port needs a number from 1 to " + std::to_string(maxPreferredPort);
    } else if (arg == "--relay") {
      if (!parseRelayAddress(value)) return "--relay needs HOST:PORT, the relay's line port from 1 to 65534";
      options.relay = std::string(value);
    } else {
      if (!isDisplayName(value)) return "--display needs an X display such as :1";
      options.display = std::string(value);
    }
  }
  return options;
}

std::string hostUsage() {
  return "usage: tavlo-host [--port PORT] [--display :N] [--relay HOST:PORT] [--no-ui]\n"
         "       tavlo-host --install-autostart [keep] | --remove-autostart\n"
         "\n"
         "Runs the Tavlo display host in the foreground until SIGTERM or SIGINT, with its tray icon\n"
         "when a display is open.\n"
         "\n"
         "  --port PORT    first port of the block of five the host listens on (default 47700:\n"
         "                 TCP control, UDP video, audio and input, UDP probes); a busy block is\n"
         "                 waited for up to 40 s, then the next free block above it is taken\n"
         "  --display :N   the X server whose virtual displays clients see (default: $DISPLAY)\n"
         "  --relay HOST:PORT\n"
         "                 register with the relay service there (line port PORT, datagram port\n"
         "                 PORT+1, as tavlo-relay listens); default: the \"tl.relay\" setting, else\n"
         "                 no relay\n"
         "  --no-ui        no tray icon and no panels (the host runs headless)\n"
         "  --install-autostart [keep]\n"
         "                 start this host at login through systemd's user manager and exit; with\n"
         "                 \"keep\" it is also started again whenever it exits\n"
         "  --remove-autostart\n"
         "                 no start at login any more; exit\n"
         "  --help         this text\n"
         "\n"
         "Exit status: 0 after SIGTERM or SIGINT, 2 for a bad command line, 3 when an older\n"
         "host instance already runs, 4 when the host cannot listen, 5 when the login unit could\n"
         "not be installed or removed, 6 when a second SIGTERM or SIGINT ended it at once, 7 when\n"
         "its X server went away or the session ended.\n";
}

}  // namespace tavlo
