#pragma once
// The command line of tavlo-host and its exit statuses.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace tavlo {

// What tavlo-host returns to its caller.
namespace HostExitCode {
inline constexpr int ok = 0;               // ended by SIGTERM/SIGINT, or handed over to the login service
inline constexpr int usage = 2;            // a bad command line
inline constexpr int anotherInstance = 3;  // an older host instance runs; this one quit without listening
inline constexpr int notListening = 4;     // the listener could not start
inline constexpr int autostartFailed = 5;  // the login unit could not be installed or removed
inline constexpr int endedAtOnce = 6;      // a second SIGTERM/SIGINT ended the process before its quit finished
inline constexpr int windowSystemGone = 7; // the tray's X server went away or the session ended; quit in order
}  // namespace HostExitCode

struct HostOptions {
  bool help = false;
  std::optional<uint16_t> port;        // the preferred first port of the block
  std::optional<std::string> display;  // the X display of the virtual displays (":N")
  std::optional<std::string> relay;    // the relay service ("HOST:PORT"); else the "tl.relay" setting
  bool noUi = false;                   // no tray icon or panels, even with a display
  // Install or remove the login unit and exit, without starting the host.
  enum class AutostartAction { none, install, installKeepRunning, remove };
  AutostartAction autostart = AutostartAction::none;
};

// The highest first port whose block of five still fits below 65536.
inline constexpr uint16_t maxPreferredPort = 65531;

// The options, or the text of what is wrong with them.
std::variant<HostOptions, std::string> parseHostOptions(std::span<const char* const> arguments);
std::string hostUsage();

}  // namespace tavlo
